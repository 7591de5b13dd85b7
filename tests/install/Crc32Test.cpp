// The folded CRC-32 against zlib's, byte by byte, over lengths and alignments around its 16- and 64-byte steps.

#include "install/Crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel::test {
namespace {

TEST(Crc32, FoldedEqualsTheTableOneWhateverTheLengthAndAlignment)
{
    std::string bytes(5000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761U) >> 13);
    EXPECT_EQ(install::crc32Of(0, "123456789", 9), 0xCBF43926U);
    for (const std::size_t length : {63, 64, 65, 79, 80, 127, 128, 129, 1000, 4097})
        for (const std::size_t offset : {0, 1, 7}) {
            std::uint32_t byteByByte = 0x1234;
            for (std::size_t i = 0; i < length; ++i)
                byteByByte = install::crc32Of(byteByByte, bytes.data() + offset + i, 1);
            EXPECT_EQ(install::crc32Of(0x1234, bytes.data() + offset, length), byteByByte) << length << " at " << offset;
        }
}

} // namespace
} // namespace kestrel::test
