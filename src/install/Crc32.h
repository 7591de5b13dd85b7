#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel::install {

// The zip's CRC-32 of data, continuing from crc (0 to begin), as zlib's crc32 computes it.
std::uint32_t crc32Of(std::uint32_t crc, const char *data, std::size_t size);

} // namespace kestrel::install
