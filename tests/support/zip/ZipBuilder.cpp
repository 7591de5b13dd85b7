#include "ZipBuilder.h"

#include <archive.h>
#include <archive_entry.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

namespace kestrel::test::zip {

namespace {

using WriterPtr = std::unique_ptr<archive, decltype(&archive_write_free)>;
using EntryPtr = std::unique_ptr<archive_entry, decltype(&archive_entry_free)>;

constexpr int kCharDeviceMode = 0020000;

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

int defaultMode(const Entry &entry)
{
    if (entry.mode >= 0)
        return entry.mode;
    return entry.type == EntryType::Dir ? 0755 : 0644;
}

EntryPtr makeHeader(const Entry &entry)
{
    EntryPtr header(archive_entry_new(), &archive_entry_free);
    archive_entry_set_pathname(header.get(), entry.path.c_str());
    archive_entry_set_perm(header.get(), static_cast<mode_t>(defaultMode(entry)));
    archive_entry_set_mtime(header.get(), 1700000000, 0);
    switch (entry.type) {
    case EntryType::Dir:
        archive_entry_set_filetype(header.get(), AE_IFDIR);
        break;
    case EntryType::Symlink:
        archive_entry_set_filetype(header.get(), AE_IFLNK);
        archive_entry_set_symlink(header.get(), entry.data.c_str());
        break;
    default:
        archive_entry_set_filetype(header.get(), AE_IFREG);
        archive_entry_set_size(header.get(), static_cast<la_int64_t>(entry.data.size()));
        break;
    }
    return header;
}

void addEntry(archive *writer, const Entry &entry)
{
    const EntryPtr header = makeHeader(entry);
    check(writer, archive_write_header(writer, header.get()), "header of " + entry.path);
    const bool hasData = entry.type == EntryType::File || entry.type == EntryType::CharDevice;
    if (hasData && !entry.data.empty()) {
        const la_ssize_t written = archive_write_data(writer, entry.data.data(), entry.data.size());
        if (written != static_cast<la_ssize_t>(entry.data.size()))
            check(writer, ARCHIVE_FATAL, "data of " + entry.path);
    }
}

std::uint16_t read16(const std::string &bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes.at(at))
                                      | static_cast<unsigned char>(bytes.at(at + 1)) << 8);
}

// The reader takes the file type from the Unix mode kept in the central directory.
void rewriteUnixMode(std::string &bytes, const std::string &entryPath, int mode)
{
    const std::size_t at = centralRecord(bytes, entryPath);
    bytes[at + 5] = 3;  // made by: Unix
    const std::uint32_t attributes = static_cast<std::uint32_t>(mode) << 16;
    for (int i = 0; i < 4; ++i)
        bytes[at + 38 + i] = static_cast<char>((attributes >> (8 * i)) & 0xFF);
}

} // namespace

std::size_t centralRecord(const std::string &bytes, const std::string &entryPath)
{
    const std::string signature("PK\x01\x02", 4);
    for (std::size_t at = bytes.find(signature); at != std::string::npos; at = bytes.find(signature, at + 1)) {
        const std::size_t nameLength = read16(bytes, at + 28);
        if (bytes.compare(at + 46, nameLength, entryPath) == 0 && nameLength == entryPath.size())
            return at;
    }
    throw std::runtime_error("no central record for " + entryPath);
}

std::string buildZip(const std::vector<Entry> &entries, Compression compression, const std::string &options)
{
    std::string bytes;
    WriterPtr writer(archive_write_new(), &archive_write_free);
    check(writer.get(), archive_write_set_format_zip(writer.get()), "zip format");
    check(writer.get(),
          archive_write_set_options(writer.get(), compression == Compression::Stored ? "zip:compression=store"
                                                                                      : "zip:compression=deflate"),
          "compression");
    if (!options.empty()) {
        check(writer.get(), archive_write_set_options(writer.get(), options.c_str()), options);
        check(writer.get(), archive_write_set_passphrase(writer.get(), kPassphrase), "passphrase");
    }
    check(writer.get(), archive_write_set_bytes_in_last_block(writer.get(), 1), "block padding");
    check(writer.get(), archive_write_open2(writer.get(), &bytes, nullptr, &appendToString, nullptr, nullptr),
          "open");
    for (const Entry &entry : entries)
        addEntry(writer.get(), entry);
    check(writer.get(), archive_write_close(writer.get()), "close");
    for (const Entry &entry : entries) {
        if (entry.type == EntryType::CharDevice)
            rewriteUnixMode(bytes, entry.path, kCharDeviceMode | defaultMode(entry));
    }
    return bytes;
}

void writeZip(const std::filesystem::path &file, const std::vector<Entry> &entries, Compression compression,
              const std::string &options)
{
    writeFile(file, buildZip(entries, compression, options));
}

std::string readFile(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path &file, const std::string &bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::size_t dataOffset(const std::string &zipBytes, const std::string &entryPath)
{
    const std::size_t central = centralRecord(zipBytes, entryPath);
    std::uint32_t local = 0;
    for (int i = 3; i >= 0; --i)
        local = local << 8 | static_cast<unsigned char>(zipBytes.at(central + 42 + i));
    return local + 30 + read16(zipBytes, local + 26) + read16(zipBytes, local + 28);
}

void corruptEntryData(const std::filesystem::path &file, const std::string &entryPath)
{
    std::string bytes = readFile(file);
    const std::size_t at = dataOffset(bytes, entryPath);
    bytes[at] = static_cast<char>(~bytes[at]);
    writeFile(file, bytes);
}

void truncateTo(const std::filesystem::path &file, std::size_t size)
{
    std::filesystem::resize_file(file, size);
}

Tree snapshot(const std::filesystem::path &root)
{
    namespace fs = std::filesystem;
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
