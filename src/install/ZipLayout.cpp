#include "install/ZipLayout.h"

#include "install/InstallErrors.h"
#include "install/ZipFormat.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <vector>

namespace kestrel::install {

namespace {

using namespace zip;

constexpr std::uint64_t kEndSize = 22;
constexpr std::uint64_t kLocatorSize = 20;
constexpr std::uint64_t kZip64EndSize = 56;
constexpr std::uint64_t kLongestZip64End = 16384;
constexpr std::uint64_t kLongestComment = 0xFFFF;
constexpr std::uint64_t kUnixHost = 3;
// No deflate stream gives more than 1032 bytes per byte (258-byte matches in two-bit codes); a
// little slack covers the stream's own framing on tiny entries.
constexpr std::uint64_t kDeflateMostRatio = 1032;
constexpr std::uint64_t kDeflateSlack = 4096;
// Local headers of small entries lie close together: one read serves many of them.
constexpr std::size_t kWindowSize = 64 * 1024;

std::uint64_t little(const std::string &bytes, std::size_t at, int width)
{
    return zip::little(bytes.data() + at, width);
}

// The package's bytes, read through a window that moves forward with the offsets asked for.
class PackageBytes {
public:
    explicit PackageBytes(const std::filesystem::path &package) : m_in(package, std::ios::binary)
    {
        if (m_in.seekg(0, std::ios::end))
            m_size = static_cast<std::uint64_t>(static_cast<std::streamoff>(m_in.tellg()));
    }

    bool isOpen() const { return static_cast<bool>(m_in); }
    std::uint64_t size() const { return m_size; }

    // Exactly `length` bytes from `offset`, or false when they are not all in the file.
    bool read(std::uint64_t offset, std::uint64_t length, std::string &out)
    {
        if (offset > m_size || length > m_size - offset)
            return false;
        if (length > kWindowSize)
            return readDirect(offset, length, out);
        if (offset < m_windowStart || offset + length > m_windowStart + m_window.size()) {
            if (!readDirect(offset, std::min<std::uint64_t>(kWindowSize, m_size - offset), m_window))
                return false;
            m_windowStart = offset;
        }
        out.assign(m_window, offset - m_windowStart, length);
        return true;
    }

private:
    bool readDirect(std::uint64_t offset, std::uint64_t length, std::string &out)
    {
        out.resize(length);
        m_in.clear();
        return m_in.seekg(static_cast<std::streamoff>(offset))
            && m_in.read(out.data(), static_cast<std::streamsize>(length));
    }

    std::ifstream m_in;
    std::uint64_t m_size = 0;
    std::string m_window;
    std::uint64_t m_windowStart = 0;
};

// Where the central directory lies: it ends where the end records begin.
struct Directory {
    std::uint64_t begin = 0;
    std::uint64_t size = 0;
};

struct Entry : ZipRecord {
    std::uint64_t end = 0;  // past its stored data
};

// The last end record in the file, as libarchive's reader picks it: checking the directory that
// the extraction will not read would let a second one through unchecked.
std::optional<std::uint64_t> findEndRecord(PackageBytes &bytes)
{
    const std::uint64_t tailLength = std::min(bytes.size(), kEndSize + kLongestComment);
    std::string tail;
    if (tailLength < kEndSize || !bytes.read(bytes.size() - tailLength, tailLength, tail))
        return std::nullopt;
    for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
        if (little(tail, at, 4) == kEndSignature)
            return bytes.size() - tailLength + at;
    }
    return std::nullopt;
}

std::optional<Directory> findDirectory(PackageBytes &bytes)
{
    const std::optional<std::uint64_t> endRecord = findEndRecord(bytes);
    std::string record;
    if (!endRecord || !bytes.read(*endRecord, kEndSize, record))
        return std::nullopt;
    std::uint64_t recordsBegin = *endRecord;
    std::uint64_t size = little(record, 12, 4);
    std::uint64_t offset = little(record, 16, 4);
    std::string locator;
    if (*endRecord >= kLocatorSize && bytes.read(*endRecord - kLocatorSize, kLocatorSize, locator)
        && little(locator, 0, 4) == kZip64LocatorSignature) {
        // libarchive falls back on the 32-bit record when these do not hold; we refuse instead.
        const std::uint64_t zip64End = little(locator, 8, 8);
        std::string zip64;
        if (little(locator, 4, 4) != 0 || little(locator, 16, 4) != 1
            || !bytes.read(zip64End, kZip64EndSize, zip64) || little(zip64, 0, 4) != kZip64EndSignature
            || little(zip64, 4, 8) + 12 < kZip64EndSize || little(zip64, 4, 8) + 12 > kLongestZip64End
            || little(zip64, 16, 4) != 0 || little(zip64, 20, 4) != 0 || little(zip64, 24, 8) != little(zip64, 32, 8))
            return std::nullopt;
        recordsBegin = zip64End;
        size = little(zip64, 40, 8);
        offset = little(zip64, 48, 8);
    }
    // Data stuck before the archive (a self-extracting stub) would shift every offset; libarchive
    // then looks for the directory from the recorded offset on, which we cannot vouch for.
    if (size > recordsBegin || offset != recordsBegin - size)
        return std::nullopt;
    return Directory{offset, size};
}

// A header's sizes and offset as stored in their 32-bit fields; kInZip64Extra means "see there".
struct Fields {
    std::uint64_t original = 0;
    std::uint64_t stored = 0;
    std::uint64_t offset = 0;
};

// Replaces the fields marked kInZip64Extra with their values from the zip64 extra field, which
// holds those and only those, in this order.
bool widen(const std::string &extra, Fields &fields)
{
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::uint64_t id = little(extra, at, 2);
        const std::size_t length = little(extra, at + 2, 2);
        if (at + 4 + length > extra.size())
            return false;
        if (id == kZip64ExtraId) {
            std::size_t field = at + 4;
            const auto next = [&](std::uint64_t &value) {
                if (field + 8 > at + 4 + length)
                    return false;
                value = little(extra, field, 8);
                field += 8;
                return true;
            };
            return (fields.original != kInZip64Extra || next(fields.original))
                && (fields.stored != kInZip64Extra || next(fields.stored))
                && (fields.offset != kInZip64Extra || next(fields.offset));
        }
        at += 4 + length;
    }
    return fields.original != kInZip64Extra && fields.stored != kInZip64Extra && fields.offset != kInZip64Extra;
}

// Reads the entries of the directory; an encrypted one stops the reading with its refusal.
std::optional<std::string> readEntries(const std::string &directory, const Directory &where,
                                       std::vector<Entry> &entries, std::vector<std::string> &withoutMode)
{
    for (std::size_t at = 0; at < directory.size();) {
        if (directory.size() - at < kCentralSize || little(directory, at, 4) != kCentralSignature)
            return message::unreadableZipDirectory();
        const std::size_t nameLength = little(directory, at + 28, 2);
        const std::size_t extraLength = little(directory, at + 30, 2);
        const std::size_t commentLength = little(directory, at + 32, 2);
        const std::size_t next = at + kCentralSize + nameLength + extraLength + commentLength;
        if (next > directory.size())
            return message::unreadableZipDirectory();
        Entry entry;
        entry.name = directory.substr(at + kCentralSize, nameLength);
        const std::uint64_t method = little(directory, at + 10, 2);
        if ((little(directory, at + 8, 2) & kEncryptionFlags) != 0 || method == kAesMethod)
            return message::encryptedZipEntry(entry.name);
        if (method != kStoredMethod && method != kDeflateMethod)
            return message::unsupportedCompression(entry.name, method);
        if (little(directory, at + 5, 1) != kUnixHost)
            withoutMode.push_back(entry.name);
        Fields fields{little(directory, at + 24, 4), little(directory, at + 20, 4), little(directory, at + 42, 4)};
        if (!widen(directory.substr(at + kCentralSize + nameLength, extraLength), fields)
            || fields.offset >= where.begin)
            return message::unreadableZipDirectory();
        // A stream that claims more than deflate can give hides where it really ends: the reader
        // inflates a deflated entry whose size follows its data up to the stream's end.
        if ((method == kDeflateMethod && fields.original > kDeflateSlack
             && (fields.original - kDeflateSlack) / kDeflateMostRatio > fields.stored)
            || (method == kStoredMethod && fields.original != fields.stored))
            return message::impossibleZipEntrySize(entry.name);
        entry.localHeader = fields.offset;
        entry.stored = fields.stored;
        entry.original = fields.original;
        entry.crc = static_cast<std::uint32_t>(little(directory, at + 16, 4));
        entry.method = static_cast<std::uint16_t>(method);
        entry.flags = static_cast<std::uint16_t>(little(directory, at + 8, 2));
        entries.push_back(std::move(entry));
        at = next;
    }
    return std::nullopt;
}

// Follows each entry to its local header, in file order, and finds where its stored data ends.
// The local header may give another size than the directory, and libarchive believes it unless
// the size comes after the data: the larger of the two bounds what may be read.
std::optional<std::string> placeEntries(PackageBytes &bytes, const Directory &where, std::vector<Entry> &entries)
{
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.localHeader < b.localHeader; });
    std::string header;
    std::string extra;
    for (Entry &entry : entries) {
        if (entry.localHeader + kLocalSize > where.begin)
            return message::zipEntryIntoDirectory(entry.name);
        if (!bytes.read(entry.localHeader, kLocalSize, header) || little(header, 0, 4) != kLocalSignature)
            return message::unreadableZipDirectory();
        if ((little(header, 6, 2) & kEncryptionFlags) != 0)
            return message::encryptedZipEntry(entry.name);
        // The reader takes the method from the local header.
        if (little(header, 8, 2) != kStoredMethod && little(header, 8, 2) != kDeflateMethod)
            return message::unsupportedCompression(entry.name, little(header, 8, 2));
        const std::uint64_t nameEnd = entry.localHeader + kLocalSize + little(header, 26, 2);
        const std::uint64_t dataBegin = nameEnd + little(header, 28, 2);
        if (dataBegin > where.begin)
            return message::zipEntryIntoDirectory(entry.name);
        Fields local{little(header, 22, 4), little(header, 18, 4), 0};
        if (!bytes.read(nameEnd, dataBegin - nameEnd, extra) || !widen(extra, local))
            return message::unreadableZipDirectory();
        const std::uint64_t stored = std::max(entry.stored, local.stored);
        if (stored > where.begin - dataBegin)
            return message::zipEntryIntoDirectory(entry.name);
        entry.end = dataBegin + stored;
    }
    return std::nullopt;
}

// Entries are sorted by their local header: each must begin where all before it have ended.
std::optional<std::string> findOverlap(const std::vector<Entry> &entries)
{
    const Entry *furthest = nullptr;
    for (const Entry &entry : entries) {
        if (furthest && entry.localHeader < furthest->end)
            return message::overlappingZipEntries(furthest->name, entry.name);
        if (!furthest || entry.end > furthest->end)
            furthest = &entry;
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> checkZipLayout(const std::filesystem::path &package, ZipListing &listing)
{
    PackageBytes bytes(package);
    if (!bytes.isOpen())
        return message::unreadableZipDirectory();
    const std::optional<Directory> where = findDirectory(bytes);
    std::string directory;
    if (!where || !bytes.read(where->begin, where->size, directory))
        return message::unreadableZipDirectory();
    std::vector<Entry> entries;
    if (auto refusal = readEntries(directory, *where, entries, listing.withoutMode))
        return refusal;
    directory = std::string();
    if (auto refusal = placeEntries(bytes, *where, entries))
        return refusal;
    if (auto refusal = findOverlap(entries))
        return refusal;
    listing.directoryBegin = where->begin;
    listing.records.assign(entries.begin(), entries.end());
    return std::nullopt;
}

} // namespace kestrel::install
