#include "install/Staging.h"

#include "install/InstallErrors.h"
#include "install/OwnFiles.h"
#include "install/WhileBusy.h"
#include "os/DiskSync.h"
#include "os/OutputFile.h"

#include <archive_entry.h>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

constexpr std::int64_t kWriteBehindStep = 8 << 20;

fs::path joined(fs::path base, const std::vector<std::string> &components)
{
    for (const std::string &component : components)
        base /= fs::path(std::u8string(component.begin(), component.end()));
    return base;
}

std::optional<std::string> failure(const fs::path &path, const std::error_code &error)
{
    return error ? std::optional(message::stagingError(path, error)) : std::nullopt;
}

} // namespace

Staging::Staging(fs::path folder, InstallObserver &observer) : m_folder(std::move(folder)), m_observer(&observer) {}

std::optional<std::string> Staging::prepare(bool &created)
{
    std::error_code error;
    const fs::file_status status = linkStatus(m_folder);
    if (fs::exists(status)) {
        if (!fs::is_directory(status) || !fs::is_regular_file(linkStatus(m_folder / kStagingMarkerName)))
            return message::foreignStaging(m_folder);
        if (existsHere(m_folder / "switch-record"))
            return message::cannotClearStaging(m_folder, std::make_error_code(std::errc::device_or_resource_busy));
        if ((error = dropStaging(m_folder)))
            return message::cannotClearStaging(m_folder, error);
    }
    fs::create_directory(m_folder, error);
    if (error)
        return message::stagingError(m_folder, error);
    created = true;
    os::OutputFile marker;
    const std::string text = message::kMarkerText;
    error = marker.open(m_folder / kStagingMarkerName, 0644);
    if (!error)
        error = marker.writeAt(0, text.data(), text.size());
    if (!error)
        error = marker.close();
    for (const fs::path &folder : {content(), backup()}) {
        if (!error)
            fs::create_directory(folder, error);
        if (!error)
            m_folders.insert(folder.native());
    }
    return failure(m_folder, error);
}

std::optional<std::string> Staging::stage(const fs::path &package, const EntryChecker &checker, const Plan &plan)
{
    ReaderPtr reader = openZip(package);
    if (!reader)
        return message::damaged({});
    archive_entry *entry = nullptr;
    std::size_t reported = 0;
    for (std::size_t i = 0;; ++i) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            return i == plan.doneAfter.size() ? std::nullopt : std::optional(message::changedPackage());
        if (status < ARCHIVE_WARN)
            return message::damaged({});
        EntryPath path;
        if (i >= plan.doneAfter.size() || checker.check(entry, path))
            return message::changedPackage();
        if (auto failure = stageEntry(reader.get(), entry, path))
            return failure;
        if (plan.doneAfter[i] > reported)
            m_observer->topLevelStaged(reported = plan.doneAfter[i]);
        m_observer->busy();
    }
}

std::optional<std::string> Staging::stageEntry(archive *reader, archive_entry *entry, const EntryPath &path)
{
    if (path.verdict == PathVerdict::Root)
        return std::nullopt;
    if (classifyEntry(entry) == EntryKind::Folder)
        return stageFolder(path);
    std::int64_t next = 0;
    const BlockSource source = [reader, &next](const void *&block, std::size_t &size) {
        la_int64_t offset = 0;
        const int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF)
            return 0;
        // Bad CRCs come back as warnings: any status but OK is a damaged entry.
        if (status != ARCHIVE_OK || offset != next)
            return -1;
        next += static_cast<std::int64_t>(size);
        return 1;
    };
    if (declaredSize(entry) < 0)
        return message::damaged(entryPathText(entry));
    return stageFile(path, entryPermissions(entry), declaredSize(entry), source, entryPathText(entry));
}

std::optional<std::string> Staging::stageFolder(const EntryPath &path)
{
    return path.verdict == PathVerdict::Root ? std::nullopt : makeFolder(joined(content(), path.components));
}

// Remembers the folders made so far, which spares a look at the disk for most entries.
std::optional<std::string> Staging::makeFolder(const fs::path &folder)
{
    if (m_folders.contains(folder.native()))
        return std::nullopt;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        return message::stagingError(folder, error);
    for (fs::path made = folder; made != content() && m_folders.insert(made.native()).second;)
        made = made.parent_path();
    return std::nullopt;
}

// The declared size is a hard limit: a block that would pass it stops the installation before
// it is written, so a package cannot fill the disk beyond what the space check allowed.
std::optional<std::string> Staging::stageFile(const EntryPath &path, unsigned permissions, std::int64_t declared,
                                              const BlockSource &source, const std::string &shown)
{
    const fs::path destination = joined(content(), path.components);
    if (auto failure = makeFolder(destination.parent_path()))
        return failure;
    os::OutputFile out;
    std::error_code error = out.open(destination, permissions);
    if (error)
        return message::stagingError(destination, error);
    m_files.push_back(destination);
    std::int64_t written = 0;  // the CRC covers the bytes in order
    std::int64_t sent = 0;     // written bytes on their way to the disk
    std::uint32_t crc = 0;
    for (;;) {
        const void *block = nullptr;
        std::size_t size = 0;
        const int status = source(block, size);
        if (status == 0)
            break;
        if (status < 0 || (declared >= 0 && static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(declared - written)))
            return message::damaged(shown);
        if ((error = out.writeAt(written, block, size)))
            return message::stagingError(destination, error);
        crc = crc32Of(crc, static_cast<const char *>(block), size);
        written += static_cast<std::int64_t>(size);
        if (m_writeBehind && written - sent >= kWriteBehindStep)
            out.startWriteBack(sent, written - sent), sent = written;
        m_observer->busy();
    }
    if (declared >= 0 && written != declared)
        return message::damaged(shown);
    // A hint per small file costs more than the flush it spares.
    if (m_writeBehind && written > sent && written >= kWriteBehindStep / 8)
        out.startWriteBack(sent, written - sent);
    m_newFiles[relativePath(path)] = NewFile{static_cast<std::uint64_t>(written), crc};
    return failure(destination, out.close());
}

// One flush of the volume costs far less than one per file when the package holds thousands.
std::optional<std::string> Staging::flush()
{
    const std::error_code whole = whileBusy(*m_observer, [this] { return os::syncVolume(m_folder); });
    if (!whole)
        return std::nullopt;
    if (whole != std::errc::function_not_supported)
        return message::stagingError(m_folder, whole);
    for (const fs::path &file : m_files) {
        if (const std::error_code error = os::syncFile(file))
            return message::stagingError(file, error);
        m_observer->busy();
    }
    m_folders.insert(m_folder.native());
    for (const auto &folder : m_folders) {
        if (const std::error_code error = os::syncFolder(fs::path(folder)))
            return message::stagingError(fs::path(folder), error);
    }
    return std::nullopt;
}

} // namespace kestrel::install
