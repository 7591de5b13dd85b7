#pragma once

// Builds zip archives for tests with libarchive's writer, including hostile ones, damages them
// on request, and reads folder trees back. Failures throw std::runtime_error: a fixture that
// cannot be built is a broken test, not a case to carry on with.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kestrel::test::zip {

enum class EntryType {
    File,
    Dir,
    Symlink,   // data is the link target
    CharDevice, // written as a file, then the Unix mode kept in the central directory is rewritten
};

enum class Compression { Stored, Deflated };

struct Entry {
    std::string path;  // exactly as stored: no normalisation, hostile paths allowed
    std::string data;
    EntryType type = EntryType::File;
    int mode = -1;  // permission bits (setuid etc. allowed); -1: 0644 for files, 0755 for folders
};

// `options` go to libarchive's zip writer as they are, e.g. "zip:zip64" or "zip:encryption=zipcrypt"
// (the passphrase is kPassphrase).
std::string buildZip(const std::vector<Entry> &entries, Compression compression = Compression::Deflated,
                     const std::string &options = {});
void writeZip(const std::filesystem::path &file, const std::vector<Entry> &entries,
              Compression compression = Compression::Deflated, const std::string &options = {});
inline constexpr const char *kPassphrase = "secret";

std::string readFile(const std::filesystem::path &file);
void writeFile(const std::filesystem::path &file, const std::string &bytes);

// Offset in a zip of the named entry's central directory record.
std::size_t centralRecord(const std::string &zipBytes, const std::string &entryPath);
// Offset in a zip of the first data byte of the named entry (from its local header).
std::size_t dataOffset(const std::string &zipBytes, const std::string &entryPath);

// Flips the first data byte of the named entry: its CRC no longer matches.
void corruptEntryData(const std::filesystem::path &file, const std::string &entryPath);
void truncateTo(const std::filesystem::path &file, std::size_t size);

// A folder tree by relative path: folders end in '/' with no content, files map to their
// bytes, links to "-> target", anything else to "<special>". Equal trees: nothing changed.
using Tree = std::map<std::string, std::string>;
Tree snapshot(const std::filesystem::path &root);

} // namespace kestrel::test::zip
