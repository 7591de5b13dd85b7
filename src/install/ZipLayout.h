#pragma once

// Checks where a zip says each entry's bytes lie, before any of them is extracted. A zip whose
// entries share their stored data (each entry quoting the next one's header, all ending in one
// shared deflate stream) keeps every size and checksum honest and still inflates a small file
// into gigabytes; no tool we know of writes such a file, so it is refused outright.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::install {

// One entry as the central directory describes it.
struct ZipRecord {
    std::string name;  // the bytes stored
    std::uint64_t localHeader = 0;
    std::uint64_t stored = 0;    // compressed size
    std::uint64_t original = 0;  // size once extracted
    std::uint32_t crc = 0;
    std::uint16_t method = 0;
    std::uint16_t flags = 0;
};

struct ZipListing {
    std::vector<ZipRecord> records;  // in the order of their local headers
    std::uint64_t directoryBegin = 0;
    // The names of the entries that carry no Unix permission bits (made on Windows).
    std::vector<std::string> withoutMode;
};

// Reads only the end records (zip64 included), the central directory and each entry's local
// header. Nothing when the layout is sound, else the French reason to refuse the package:
// entries whose ranges overlap, an entry running into the directory, an encrypted entry, a
// compression other than stored and deflate (whose output we cannot bound before reading), or a
// directory that cannot be made sense of. The listing is complete only when nothing is returned.
std::optional<std::string> checkZipLayout(const std::filesystem::path &package, ZipListing &listing);

} // namespace kestrel::install
