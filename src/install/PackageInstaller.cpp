#include "PackageInstaller.h"

#include "EntryPath.h"
#include "InstallErrors.h"
#include "OutputFile.h"
#include "ZipLayout.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

using ReaderPtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

// Small enough that the seekable zip reader does not re-read much after each seek.
constexpr std::size_t kReadBlockSize = 64 * 1024;
// Allowance per entry for the file system's block rounding.
constexpr std::uintmax_t kSlackPerEntry = 4096;

const char *const kUnchanged = " Aucun fichier n'a été modifié.";
const char *const kNothingToInstall = "Le fichier d'installation ne contient aucun fichier à installer.";
const char *const kMarkerText = "Dossier temporaire de l'assistant de mise à jour de Kestrel 11. "
                                "Il peut être supprimé.\r\n";

int openFile(archive *reader, const char *path)
{
    return archive_read_open_filename(reader, path, kReadBlockSize);
}

int openFile(archive *reader, const wchar_t *path)
{
    return archive_read_open_filename_w(reader, path, kReadBlockSize);
}

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

// The reader above does not open a zip without entries; the streaming one tells it apart.
bool isEmptyZip(const fs::path &package)
{
    ReaderPtr reader(archive_read_new(), &archive_read_free);
    archive_entry *entry = nullptr;
    return reader && archive_read_support_format_zip_streamable(reader.get()) == ARCHIVE_OK
        && openFile(reader.get(), package.c_str()) == ARCHIVE_OK
        && archive_read_next_header(reader.get(), &entry) == ARCHIVE_EOF;
}

std::string entryPathText(archive_entry *entry)
{
    const char *path = archive_entry_pathname_utf8(entry);
    if (!path)
        path = archive_entry_pathname(entry);
    return path ? path : "";
}

std::string quoted(const std::string &text)
{
    return "« " + text + " »";
}

std::optional<std::string> refusal(const std::string &path, PathVerdict verdict, EntryKind kind)
{
    const char *reason = nullptr;
    switch (verdict) {
    case PathVerdict::Absolute: reason = "désigne un chemin absolu"; break;
    case PathVerdict::DriveOrStream: reason = "contient une lettre de lecteur ou le caractère « : »"; break;
    case PathVerdict::ParentStep: reason = "remonte hors du dossier de l'application (« .. »)"; break;
    case PathVerdict::Root:
        if (kind != EntryKind::Folder)
            reason = "n'a pas de nom";
        break;
    case PathVerdict::Inside: break;
    }
    if (!reason) {
        switch (kind) {
        case EntryKind::SymbolicLink: reason = "est un lien symbolique"; break;
        case EntryKind::HardLink: reason = "est un lien physique"; break;
        case EntryKind::Special: reason = "est un fichier spécial (périphérique, tube ou socket)"; break;
        default: return std::nullopt;
        }
    }
    return "Le fichier d'installation a été refusé : l'élément " + quoted(path) + " " + reason + "."
        + kUnchanged;
}

std::string damaged(const std::string &path)
{
    const std::string which = path.empty() ? std::string() : " (élément " + quoted(path) + ")";
    return "Le fichier d'installation est endommagé ou incomplet" + which + "." + kUnchanged;
}

fs::path joined(fs::path base, const std::vector<std::string> &components)
{
    for (const std::string &component : components)
        base /= fs::path(std::u8string(component.begin(), component.end()));
    return base;
}

fs::path withoutTrailingSeparator(fs::path folder)
{
    while (!folder.has_filename() && folder.has_relative_path())
        folder = folder.parent_path();
    return folder;
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

// What the first pass learns about the package.
struct Plan {
    std::vector<std::string> topLevel;  // in order of first appearance
    std::vector<std::size_t> doneAfter;  // per entry: top-level entries complete once it is written
    std::uintmax_t totalBytes = 0;
};

class Installer {
public:
    Installer(fs::path package, fs::path target, InstallObserver &observer)
        : m_package(std::move(package)), m_target(withoutTrailingSeparator(std::move(target))),
          m_staging(m_package.parent_path() / kStagingFolderName), m_content(m_staging / "content"),
          m_observer(observer)
    {
    }

    ~Installer()
    {
        if (m_stagingCreated) {
            std::error_code ignored;
            fs::remove_all(m_staging, ignored);
        }
    }

    InstallResult run()
    {
        ReaderPtr reader = openZip(m_package);
        if (!reader && isEmptyZip(m_package))
            return {InstallOutcome::Failed, kNothingToInstall};
        if (!reader)
            return {InstallOutcome::CannotOpen, {}};
        std::optional<std::string> failure = checkZipLayout(m_package);
        if (!failure)
            failure = scan(reader.get());
        reader.reset();
        if (!failure)
            failure = checkTargetParent();
        if (!failure)
            failure = checkFreeSpace();
        if (!failure)
            failure = prepareStaging();
        if (!failure) {
            m_observer.started(m_plan.topLevel.size());
            failure = stage();
        }
        if (!failure)
            failure = findConflicts();
        if (!failure)
            failure = moveIntoPlace();
        if (failure)
            return {InstallOutcome::Failed, *failure};
        return {InstallOutcome::Installed, {}};
    }

private:
    // Checks one entry; its components when it may be written, else the reason it may not.
    std::optional<std::string> checkEntry(archive_entry *entry, EntryPath &path) const
    {
        const std::string text = entryPathText(entry);
        const EntryKind kind = classifyEntry(entry);
        path = readEntryPath(text);
        if (auto refused = refusal(text, path.verdict, kind))
            return refused;
        if (startsWith(path.components, m_reservedStaging) || startsWith(path.components, m_reservedPackage))
            return "Le fichier d'installation a été refusé : l'élément " + quoted(text)
                + " remplacerait un fichier de l'assistant de mise à jour." + kUnchanged;
        return std::nullopt;
    }

    std::optional<std::string> scan(archive *reader)
    {
        reserveOwnPaths();
        std::unordered_map<std::string, std::size_t> topIndex;
        std::vector<std::size_t> lastEntryOfTop;
        std::vector<std::size_t> topOfEntry;
        archive_entry *entry = nullptr;
        for (std::size_t i = 0;; ++i) {
            const int status = archive_read_next_header(reader, &entry);
            if (status == ARCHIVE_EOF)
                break;
            if (status < ARCHIVE_WARN)
                return damaged({});
            EntryPath path;
            if (auto refused = checkEntry(entry, path))
                return refused;
            if (path.verdict == PathVerdict::Root) {
                topOfEntry.push_back(SIZE_MAX);
                continue;
            }
            auto [it, added] = topIndex.try_emplace(path.components.front(), m_plan.topLevel.size());
            if (added) {
                m_plan.topLevel.push_back(path.components.front());
                lastEntryOfTop.push_back(i);
            }
            lastEntryOfTop[it->second] = i;
            topOfEntry.push_back(it->second);
            if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0)
                m_plan.totalBytes += static_cast<std::uintmax_t>(archive_entry_size(entry)) + kSlackPerEntry;
        }
        if (m_plan.topLevel.empty())
            return std::string(kNothingToInstall);
        std::vector<std::size_t> finishing(topOfEntry.size(), 0);
        for (std::size_t last : lastEntryOfTop)
            ++finishing[last];
        std::size_t done = 0;
        for (std::size_t count : finishing)
            m_plan.doneAfter.push_back(done += count);
        return std::nullopt;
    }

    // Entries must not land on the staging folder or the package when these lie in the target.
    void reserveOwnPaths()
    {
        const auto inside = [this](const fs::path &path) {
            const fs::path relative = path.lexically_relative(m_target);
            return relative.empty() || *relative.begin() == ".." ? fs::path() : relative;
        };
        m_reservedStaging = inside(m_staging);
        m_reservedPackage = inside(m_package);
    }

    std::optional<std::string> checkTargetParent() const
    {
        std::error_code error;
        if (fs::is_directory(m_target, error) || fs::is_directory(m_target.parent_path(), error))
            return std::nullopt;
        return "Impossible de créer le dossier " + quoted(displayPath(m_target))
            + " : son dossier parent n'existe pas." + kUnchanged;
    }

    std::optional<std::string> checkFreeSpace() const
    {
        std::error_code error;
        const fs::space_info space = fs::space(m_staging.parent_path(), error);
        if (error || space.available >= m_plan.totalBytes)
            return std::nullopt;
        const auto megabytes = [](std::uintmax_t bytes) { return std::to_string((bytes + 1048575) / 1048576); };
        return "Espace disque insuffisant : la mise à jour a besoin de " + megabytes(m_plan.totalBytes)
            + " Mo et seuls " + megabytes(space.available) + " Mo sont disponibles." + kUnchanged;
    }

    std::optional<std::string> prepareStaging()
    {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(m_staging, error);
        if (fs::exists(status)) {
            if (!fs::is_directory(status) || !fs::is_regular_file(fs::symlink_status(m_staging / kStagingMarkerName)))
                return "Le dossier " + quoted(displayPath(m_staging))
                    + " existe déjà mais n'a pas été créé par l'assistant de mise à jour. "
                      "Déplacez-le ou supprimez-le, puis recommencez." + kUnchanged;
            fs::remove_all(m_staging, error);
            if (error)
                return "Impossible de supprimer le dossier temporaire " + quoted(displayPath(m_staging))
                    + " laissé par une installation interrompue : " + frenchSystemError(error) + "." + kUnchanged;
        }
        fs::create_directory(m_staging, error);
        if (error)
            return stagingError(m_staging, error);
        m_stagingCreated = true;
        OutputFile marker;
        const std::string text = kMarkerText;
        error = marker.open(m_staging / kStagingMarkerName, 0644);
        if (!error)
            error = marker.writeAt(0, text.data(), text.size());
        if (!error)
            error = marker.close();
        if (!error)
            fs::create_directory(m_content, error);
        if (!error)
            m_stagedFolders.insert(m_content.native());
        return stagingFailure(m_staging, error);
    }

    std::optional<std::string> stagingFailure(const fs::path &path, const std::error_code &error) const
    {
        return error ? std::optional(stagingError(path, error)) : std::nullopt;
    }

    std::string stagingError(const fs::path &path, const std::error_code &error) const
    {
        return "Impossible d'écrire " + quoted(displayPath(path)) + " dans le dossier temporaire : "
            + frenchSystemError(error) + "." + kUnchanged;
    }

    std::optional<std::string> stage()
    {
        ReaderPtr reader = openZip(m_package);
        if (!reader)
            return damaged({});
        archive_entry *entry = nullptr;
        std::size_t reported = 0;
        for (std::size_t i = 0;; ++i) {
            const int status = archive_read_next_header(reader.get(), &entry);
            if (status == ARCHIVE_EOF)
                return i == m_plan.doneAfter.size() ? std::nullopt : std::optional(changedPackage());
            if (status < ARCHIVE_WARN)
                return damaged({});
            EntryPath path;
            if (i >= m_plan.doneAfter.size() || checkEntry(entry, path))
                return changedPackage();
            if (auto failure = stageEntry(reader.get(), entry, path))
                return failure;
            if (m_plan.doneAfter[i] > reported)
                m_observer.topLevelStaged(reported = m_plan.doneAfter[i]);
            m_observer.busy();
        }
    }

    static std::string changedPackage()
    {
        return std::string("Le fichier d'installation a changé pendant sa lecture.") + kUnchanged;
    }

    std::optional<std::string> stageEntry(archive *reader, archive_entry *entry, const EntryPath &path)
    {
        if (path.verdict == PathVerdict::Root)
            return std::nullopt;
        const fs::path destination = joined(m_content, path.components);
        if (classifyEntry(entry) == EntryKind::Folder)
            return makeStagedFolder(destination);
        if (auto failure = makeStagedFolder(destination.parent_path()))
            return failure;
        return writeData(reader, entry, destination);
    }

    // Remembers the folders made so far, which spares a look at the disk for most entries.
    std::optional<std::string> makeStagedFolder(const fs::path &folder)
    {
        if (m_stagedFolders.contains(folder.native()))
            return std::nullopt;
        std::error_code error;
        fs::create_directories(folder, error);
        if (error)
            return stagingError(folder, error);
        m_stagedFolders.insert(folder.native());
        return std::nullopt;
    }

    std::optional<std::string> writeData(archive *reader, archive_entry *entry, const fs::path &destination)
    {
        OutputFile out;
        // Only the permission bits: never set-user-id, set-group-id or sticky.
        std::error_code error = out.open(destination, archive_entry_perm(entry) & 0777U);
        if (error)
            return stagingError(destination, error);
        const void *block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        for (;;) {
            const int status = archive_read_data_block(reader, &block, &size, &offset);
            if (status == ARCHIVE_EOF)
                break;
            // Bad CRCs come back as warnings: any status but OK is a damaged entry.
            if (status != ARCHIVE_OK)
                return damaged(entryPathText(entry));
            // No more than announced, which the layout check weighed: a stream may run on past it.
            if (archive_entry_size_is_set(entry)
                && (offset < 0 || offset > archive_entry_size(entry)
                    || size > static_cast<std::uint64_t>(archive_entry_size(entry) - offset)))
                return damaged(entryPathText(entry));
            if ((error = out.writeAt(offset, block, size)))
                return stagingError(destination, error);
            m_observer.busy();
        }
        error = out.close();
        return stagingFailure(destination, error);
    }

    std::optional<std::string> findConflicts()
    {
        for (const std::string &top : m_plan.topLevel) {
            const fs::path installed = joined(m_target, {top});
            std::error_code error;
            m_newTopLevel.push_back(!fs::exists(fs::symlink_status(installed, error)));
            if (m_newTopLevel.back())
                continue;
            if (auto conflict = findConflict(joined(m_content, {top}), installed))
                return conflict;
        }
        return std::nullopt;
    }

    std::optional<std::string> findConflict(const fs::path &staged, const fs::path &installed) const
    {
        std::error_code error;
        const fs::file_status existing = fs::symlink_status(installed, error);
        if (!fs::exists(existing))
            return std::nullopt;
        const std::string name = displayPath(installed.lexically_relative(m_target));
        if (!fs::is_directory(fs::symlink_status(staged, error))) {
            if (!fs::is_directory(existing))
                return std::nullopt;
            return quoted(name) + " est un dossier dans le dossier de l'application ; la mise à jour ne peut pas "
                                  "le remplacer par un fichier." + kUnchanged;
        }
        if (!fs::is_directory(existing))
            return quoted(name) + " existe dans le dossier de l'application sans être un dossier ; la mise à jour "
                                  "ne peut pas y placer son dossier." + kUnchanged;
        for (const fs::directory_entry &child : fs::directory_iterator(staged, error)) {
            if (auto conflict = findConflict(child.path(), installed / child.path().filename()))
                return conflict;
        }
        return error ? std::optional(stagingError(staged, error)) : std::nullopt;
    }

    std::optional<std::string> moveIntoPlace()
    {
        std::error_code error;
        if (!fs::is_directory(m_target, error)) {
            fs::create_directory(m_target, error);
            if (error)
                return "Impossible de créer le dossier " + quoted(displayPath(m_target)) + " : "
                    + frenchSystemError(error) + "." + kUnchanged;
        }
        for (std::size_t i = 0; i < m_plan.topLevel.size(); ++i) {
            const fs::path staged = joined(m_content, {m_plan.topLevel[i]});
            const fs::path installed = joined(m_target, {m_plan.topLevel[i]});
            fs::path failed = installed;
            if (m_newTopLevel[i])
                fs::rename(staged, installed, error);
            else
                error = move(staged, installed, failed);
            if (error)
                return "Impossible de mettre en place " + quoted(displayPath(failed.lexically_relative(m_target)))
                    + " : " + frenchSystemError(error)
                    + ". La mise à jour n'est installée qu'en partie ; recommencez l'installation.";
        }
        return std::nullopt;
    }

    // Renames staged into installed; a folder that exists on both sides is merged.
    std::error_code move(const fs::path &staged, const fs::path &installed, fs::path &failed)
    {
        std::error_code error;
        m_observer.busy();
        const fs::file_status existing = fs::symlink_status(installed, error);
        if (fs::is_directory(existing) && fs::is_directory(fs::symlink_status(staged, error))) {
            std::vector<fs::path> children;
            for (const fs::directory_entry &child : fs::directory_iterator(staged, error))
                children.push_back(child.path());
            for (const fs::path &child : children) {
                if ((error = move(child, installed / child.filename(), failed)))
                    return error;
            }
        } else {
            fs::rename(staged, installed, error);
        }
        if (error)
            failed = installed;
        return error;
    }

    fs::path m_package;
    fs::path m_target;
    fs::path m_staging;
    fs::path m_content;
    fs::path m_reservedStaging;
    fs::path m_reservedPackage;
    InstallObserver &m_observer;
    Plan m_plan;
    std::unordered_set<fs::path::string_type> m_stagedFolders;
    std::vector<bool> m_newTopLevel;  // per top-level entry: absent from the target when checked
    bool m_stagingCreated = false;
};

} // namespace

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

InstallResult installPackage(const fs::path &package, const fs::path &target, InstallObserver &observer)
{
    try {
        return Installer(package, target, observer).run();
    } catch (const std::bad_alloc &) {
        return {InstallOutcome::Failed, "Mémoire insuffisante pour installer la mise à jour."};
    } catch (const fs::filesystem_error &error) {
        return {InstallOutcome::Failed, "Erreur du système de fichiers : " + frenchSystemError(error.code()) + "."};
    }
}

} // namespace kestrel::install
