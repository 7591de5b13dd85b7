#pragma once

// Zip archives for tests, hostile ones included, by libarchive's writer; folder trees read back. Failures throw std::runtime_error.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrel::test::zip {

// A symbolic link's data is its target; a character device is written as a file whose Unix mode in the central directory is then rewritten.
enum class EntryType { File, Dir, Symlink, CharDevice };
enum class Compression { Stored, Deflated };

struct Entry {
    std::string path; // exactly as stored: no normalisation, hostile paths allowed
    std::string data;
    EntryType type = EntryType::File;
    int mode = -1; // permission bits (setuid etc. allowed); -1: 0644 for files, 0755 for folders
};

// `options` go to libarchive's zip writer as they are, e.g. "zip:zip64" or "zip:encryption=zipcrypt".
std::string buildZip(const std::vector<Entry> &entries, Compression compression = Compression::Deflated, const std::string &options = {});
void writeZip(const std::filesystem::path &file, const std::vector<Entry> &entries, Compression compression = Compression::Deflated);
std::string readFile(const std::filesystem::path &file);
void writeFile(const std::filesystem::path &file, const std::string &bytes);

// Offsets in a zip of the named entry's central directory record and of its first data byte.
std::size_t centralRecord(const std::string &zipBytes, const std::string &entryPath);
std::size_t dataOffset(const std::string &zipBytes, const std::string &entryPath);
// Little-endian fields of `size` bytes, as zip stores them.
std::uint32_t getLE(const std::string &bytes, std::size_t at, int size = 4);
void putLE(std::string &bytes, std::size_t at, std::uint32_t value, int size = 4);

// A folder tree by relative path: folders end in '/', files map to their bytes, links to "-> target", others to "<special>".
using Tree = std::map<std::string, std::string>;
Tree snapshot(const std::filesystem::path &root);

} // namespace kestrel::test::zip
