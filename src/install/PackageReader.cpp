#include "install/PackageReader.h"

#include "install/InstallErrors.h"
#include "install/EngineTypes.h"

#include <archive_entry.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

// Small enough that the seekable zip reader does not re-read much after each seek.
constexpr std::size_t kReadBlockSize = 64 * 1024;

[[maybe_unused]] int openFile(archive *reader, const char *path)
{
    return archive_read_open_filename(reader, path, kReadBlockSize);
}

[[maybe_unused]] int openFile(archive *reader, const wchar_t *path)
{
    return archive_read_open_filename_w(reader, path, kReadBlockSize);
}

bool startsWith(const std::vector<std::string> &components, const fs::path &prefix)
{
    std::size_t i = 0;
    for (const fs::path &part : prefix) {
        const std::u8string text = part.u8string();
        if (i >= components.size() || components[i] != std::string(text.begin(), text.end()))
            return false;
        ++i;
    }
    return i > 0;
}

fs::path relativeInside(const fs::path &path, const fs::path &target)
{
    const fs::path relative = path.lexically_relative(target);
    return relative.empty() || *relative.begin() == ".." ? fs::path() : relative;
}

} // namespace

// Only the reader that starts from the central directory: a package cut short loses it and
// is refused, where a streaming read would install the entries before the cut as if complete.
ReaderPtr openZip(const fs::path &package)
{
    ReaderPtr reader(archive_read_new(), &archive_read_free);
    if (!reader || archive_read_support_format_zip_seekable(reader.get()) != ARCHIVE_OK
        || openFile(reader.get(), package.c_str()) != ARCHIVE_OK)
        return {nullptr, &archive_read_free};
    return reader;
}

bool isEmptyZip(const fs::path &package)
{
    ReaderPtr reader(archive_read_new(), &archive_read_free);
    archive_entry *entry = nullptr;
    return reader && archive_read_support_format_zip_streamable(reader.get()) == ARCHIVE_OK
        && openFile(reader.get(), package.c_str()) == ARCHIVE_OK
        && archive_read_next_header(reader.get(), &entry) == ARCHIVE_EOF;
}

// A name in ASCII is the same in every encoding: only the others need the conversion to UTF-8,
// which sets up a character set converter at each call.
std::string entryPathText(archive_entry *entry)
{
    if (const char *plain = archive_entry_pathname(entry)) {
        const std::string_view text(plain);
        if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
            return std::string(text);
    }
    const char *path = archive_entry_pathname_utf8(entry);
    if (!path)
        path = archive_entry_pathname(entry);
    return path ? path : "";
}

unsigned entryPermissions(archive_entry *entry)
{
    // Only the permission bits: never set-user-id, set-group-id or sticky.
    return archive_entry_perm(entry) & 0777U;
}

std::int64_t declaredSize(archive_entry *entry)
{
    return archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
}

EntryKind classifyEntry(archive_entry *entry)
{
    if (archive_entry_hardlink(entry))
        return EntryKind::HardLink;
    switch (archive_entry_filetype(entry)) {
    case AE_IFREG: return EntryKind::File;
    case AE_IFDIR: return EntryKind::Folder;
    case AE_IFLNK: return EntryKind::SymbolicLink;
    default: return EntryKind::Special;
    }
}

EntryChecker::EntryChecker(const fs::path &target, const fs::path &staging, const fs::path &package)
    : m_reservedStaging(relativeInside(staging, target)), m_reservedPackage(relativeInside(package, target))
{
}

std::optional<std::string> EntryChecker::check(archive_entry *entry, EntryPath &path) const
{
    const std::string text = entryPathText(entry);
    const EntryKind kind = classifyEntry(entry);
    path = readEntryPath(text);
    if (auto refused = message::refusal(text, path.verdict, kind))
        return refused;
    if (startsWith(path.components, m_reservedStaging) || startsWith(path.components, m_reservedPackage))
        return message::reservedPath(text);
    return std::nullopt;
}

std::optional<std::string> scanPackage(archive *reader, const EntryChecker &checker, Plan &plan,
                                       InstallObserver *observer)
{
    std::unordered_map<std::string, std::size_t> topIndex;
    std::vector<std::size_t> lastEntryOfTop;
    std::vector<std::size_t> topOfEntry;
    archive_entry *entry = nullptr;
    PackageNames names = checker.names();
    for (std::size_t i = 0;; ++i) {
        const int status = archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status < ARCHIVE_WARN)
            return message::damaged({});
        EntryPath path;
        if (auto refused = checker.check(entry, path))
            return refused;
        if (auto refused = names.refusal(entryPathText(entry), path))
            return refused;
        if (classifyEntry(entry) == EntryKind::File && declaredSize(entry) < 0)
            return message::damaged(entryPathText(entry));
        plan.entries.push_back({relativePath(path), classifyEntry(entry), entryPermissions(entry)});
        if (observer)
            observer->busy();
        if (path.verdict == PathVerdict::Root) {
            topOfEntry.push_back(SIZE_MAX);
            continue;
        }
        auto [it, added] = topIndex.try_emplace(path.components.front(), plan.topLevel.size());
        if (added) {
            plan.topLevel.push_back(path.components.front());
            lastEntryOfTop.push_back(i);
        }
        lastEntryOfTop[it->second] = i;
        topOfEntry.push_back(it->second);
        const std::uintmax_t size = static_cast<std::uintmax_t>(declaredSize(entry));
        if (classifyEntry(entry) == EntryKind::File
            && (size > UINTMAX_MAX - kSlackPerEntry || plan.totalBytes > UINTMAX_MAX - kSlackPerEntry - size))
            return message::tooLarge();
        if (classifyEntry(entry) == EntryKind::File)
            plan.totalBytes += size + kSlackPerEntry;
    }
    if (plan.topLevel.empty())
        return message::nothingToInstall();
    std::vector<std::size_t> finishing(topOfEntry.size(), 0);
    for (std::size_t last : lastEntryOfTop)
        ++finishing[last];
    std::size_t done = 0;
    for (std::size_t count : finishing)
        plan.doneAfter.push_back(done += count);
    return std::nullopt;
}

} // namespace kestrel::install
