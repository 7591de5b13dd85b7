#include "support/zip/ZipBuilder.h"

#include <archive.h>
#include <archive_entry.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace kestrel::test::zip {

namespace fs = std::filesystem;

namespace {

la_ssize_t appendToString(archive *, void *client, const void *buffer, size_t length)
{
    static_cast<std::string *>(client)->append(static_cast<const char *>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

void check(archive *writer, int status, const std::string &what)
{
    if (status < ARCHIVE_WARN) {
        const char *error = archive_error_string(writer);
        throw std::runtime_error(what + ": " + (error ? error : "libarchive error"));
    }
}

int modeOf(const Entry &entry) { return entry.mode >= 0 ? entry.mode : entry.type == EntryType::Dir ? 0755 : 0644; }

void addEntry(archive *writer, const Entry &entry)
{
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(), &archive_entry_free);
    archive_entry_set_pathname(header.get(), entry.path.c_str());
    archive_entry_set_perm(header.get(), static_cast<mode_t>(modeOf(entry)));
    archive_entry_set_mtime(header.get(), 1700000000, 0);
    const bool hasData = entry.type == EntryType::File || entry.type == EntryType::CharDevice;
    archive_entry_set_filetype(header.get(), entry.type == EntryType::Dir ? AE_IFDIR : entry.type == EntryType::Symlink ? AE_IFLNK : AE_IFREG);
    if (entry.type == EntryType::Symlink)
        archive_entry_set_symlink(header.get(), entry.data.c_str());
    if (hasData)
        archive_entry_set_size(header.get(), static_cast<la_int64_t>(entry.data.size()));
    check(writer, archive_write_header(writer, header.get()), "header of " + entry.path);
    if (hasData && archive_write_data(writer, entry.data.data(), entry.data.size()) != static_cast<la_ssize_t>(entry.data.size()))
        check(writer, ARCHIVE_FATAL, "data of " + entry.path);
}

} // namespace

std::uint32_t getLE(const std::string &bytes, std::size_t at, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
    return value;
}

void putLE(std::string &bytes, std::size_t at, std::uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.at(at + static_cast<std::size_t>(i)) = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::size_t centralRecord(const std::string &bytes, const std::string &entryPath)
{
    const std::string signature("PK\x01\x02", 4);
    for (std::size_t at = bytes.find(signature); at != std::string::npos; at = bytes.find(signature, at + 1))
        if (getLE(bytes, at + 28, 2) == entryPath.size() && bytes.compare(at + 46, entryPath.size(), entryPath) == 0)
            return at;
    throw std::runtime_error("no central record for " + entryPath);
}

std::size_t dataOffset(const std::string &bytes, const std::string &entryPath)
{
    const std::size_t local = getLE(bytes, centralRecord(bytes, entryPath) + 42);
    return local + 30 + getLE(bytes, local + 26, 2) + getLE(bytes, local + 28, 2);
}

std::string buildZip(const std::vector<Entry> &entries, Compression compression, const std::string &options)
{
    std::string bytes;
    std::unique_ptr<archive, decltype(&archive_write_free)> owner(archive_write_new(), &archive_write_free);
    archive *writer = owner.get();
    check(writer, archive_write_set_format_zip(writer), "zip format");
    const std::string all = compression == Compression::Stored ? "zip:compression=store" : "zip:compression=deflate";
    check(writer, archive_write_set_options(writer, (all + (options.empty() ? "" : "," + options)).c_str()), options);
    check(writer, archive_write_set_passphrase(writer, "secret"), "passphrase");
    check(writer, archive_write_set_bytes_in_last_block(writer, 1), "block padding");
    check(writer, archive_write_open2(writer, &bytes, nullptr, &appendToString, nullptr, nullptr), "open");
    for (const Entry &entry : entries)
        addEntry(writer, entry);
    check(writer, archive_write_close(writer), "close");
    // The reader takes the file type from the Unix mode kept in the central directory.
    for (const Entry &entry : entries) {
        if (entry.type != EntryType::CharDevice)
            continue;
        const std::size_t record = centralRecord(bytes, entry.path);
        bytes[record + 5] = 3; // made by: Unix
        putLE(bytes, record + 38, static_cast<std::uint32_t>(0020000 | modeOf(entry)) << 16);
    }
    return bytes;
}

void writeZip(const fs::path &file, const std::vector<Entry> &entries, Compression compression) { writeFile(file, buildZip(entries, compression)); }

std::string readFile(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path &file, const std::string &bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || (out.close(), !out))
        throw std::runtime_error("cannot write " + file.string());
}

Tree snapshot(const fs::path &root)
{
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(root).generic_string();
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status))
            tree[relative] = "-> " + fs::read_symlink(it->path()).string();
        else if (fs::is_directory(status))
            tree[relative + "/"] = "";
        else
            tree[relative] = fs::is_regular_file(status) ? readFile(it->path()) : "<special>";
    }
    return tree;
}

} // namespace kestrel::test::zip
