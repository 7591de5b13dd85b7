#pragma once

// The zip format's own numbers, as both readers of the package's bytes need them: the one that
// checks the complete package's layout and the one that stages the package as it arrives.

#include <cstdint>

namespace kestrel::install::zip {

inline constexpr std::uint32_t kLocalSignature = 0x04034b50;
inline constexpr std::uint32_t kCentralSignature = 0x02014b50;
inline constexpr std::uint32_t kEndSignature = 0x06054b50;
inline constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
inline constexpr std::uint64_t kLocalSize = 30;
inline constexpr std::uint64_t kCentralSize = 46;
inline constexpr std::uint16_t kZip64ExtraId = 0x0001;
inline constexpr std::uint32_t kInZip64Extra = 0xFFFFFFFF;  // "see the zip64 extra field"
// Traditional encryption, strong encryption, encrypted central directory.
inline constexpr std::uint16_t kEncryptionFlags = 0x0001 | 0x0040 | 0x2000;
inline constexpr std::uint16_t kDescriptorFlag = 0x0008;  // sizes and CRC (also) after the data
inline constexpr std::uint16_t kUtf8Flag = 0x0800;
inline constexpr std::uint16_t kStoredMethod = 0;
inline constexpr std::uint16_t kDeflateMethod = 8;
inline constexpr std::uint16_t kAesMethod = 99;

// The little-endian number of width bytes at bytes.
inline std::uint64_t little(const char *bytes, int width)
{
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
}

} // namespace kestrel::install::zip
