#include "install/SwitchOver.h"

#include "install/InstallErrors.h"
#include "install/OwnFiles.h"
#include "install/Staging.h"
#include "install/WhileBusy.h"
#include "os/DiskSync.h"
#include "os/FileInUse.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

std::string nameText(const fs::path &name)
{
    const std::u8string text = name.u8string();
    return {text.begin(), text.end()};
}

std::string shown(const std::string &relative)
{
    return nameText(fs::path(std::u8string(relative.begin(), relative.end())).make_preferred());
}

// What an exception stands for, as the error code that the boxes can tell.
std::error_code caughtError()
{
    try {
        throw;
    } catch (const std::system_error &error) {
        return error.code();
    } catch (const std::bad_alloc &) {
        return std::make_error_code(std::errc::not_enough_memory);
    } catch (...) {
        return std::make_error_code(std::errc::state_not_recoverable);
    }
}

} // namespace

SwitchOver::SwitchOver(SwitchPaths paths, InstallObserver &observer)
    : m_paths(std::move(paths)), m_observer(observer)
{
}

std::optional<std::string> SwitchOver::plan(const std::vector<std::string> &topLevel,
                                             const std::set<std::string> &withoutMode)
{
    if (const std::error_code error = m_trees.open(m_paths))
        return message::stagingError(m_paths.staging, error);
    std::vector<fs::path> names;
    for (const std::string &top : topLevel)
        names.push_back(fs::path(std::u8string(top.begin(), top.end())));
    std::vector<os::NodeKind> incoming;
    const SwitchTrees::Spot staged = m_trees.content({});
    if (const std::error_code error = staged.tree->kinds(staged.relative, names, incoming))
        return message::stagingError(m_paths.staging, error);
    if (auto refused = planFolder({}, topLevel, incoming, withoutMode))
        return refused;
    m_moves.insert(m_moves.end(), m_places.begin(), m_places.end());
    m_places.clear();
    return std::nullopt;
}

// The entries of one folder, with one look at the application folder's side for all of them.
std::optional<std::string> SwitchOver::planFolder(const std::string &folder, const std::vector<std::string> &names,
                                                  const std::vector<os::NodeKind> &incoming,
                                                  const std::set<std::string> &withoutMode)
{
    if (names.empty())
        return std::nullopt;
    std::vector<fs::path> paths;
    for (const std::string &name : names)
        paths.push_back(fs::path(std::u8string(name.begin(), name.end())));
    std::vector<os::NodeKind> existing;
    const SwitchTrees::Spot installed = m_trees.target(folder);
    const fs::path installedFolder = underFolder(m_paths.target, folder);
    if (const std::error_code error = installed.tree->kinds(installed.relative, paths, existing))
        return message::stagingError(installedFolder, error);
    m_targetFolders.insert(installedFolder);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (auto refused = planEntry(folder.empty() ? names[i] : folder + '/' + names[i], existing[i], incoming[i],
                                     withoutMode))
            return refused;
    }
    return std::nullopt;
}

// Only real folders of the target are entered; a link there is a file to set aside, never a
// way into somewhere else.
std::optional<std::string> SwitchOver::planEntry(const std::string &relative, os::NodeKind existing,
                                                 os::NodeKind incoming, const std::set<std::string> &withoutMode)
{
    if (existing == os::NodeKind::Missing) {
        m_places.push_back({incoming == os::NodeKind::Folder ? Move::Kind::PlaceFolder : Move::Kind::Place, relative});
        return std::nullopt;
    }
    if (incoming != os::NodeKind::Folder) {
        if (existing == os::NodeKind::Folder)
            return message::folderReplacedByFile(relative);
        const fs::path staged = underFolder(m_paths.staging / "content", relative);
        std::error_code error;
        if (existing == os::NodeKind::File && withoutMode.contains(relative))
            fs::permissions(staged, fs::symlink_status(underFolder(m_paths.target, relative)).permissions()
                                & fs::perms::mask, error);
        if (error)
            return message::stagingError(staged, error);
        m_moves.push_back({Move::Kind::Backup, relative});
        m_backupFolders.insert(fs::path(std::u8string(relative.begin(), relative.end())).parent_path());
        m_places.push_back({Move::Kind::Place, relative});
        return std::nullopt;
    }
    if (existing != os::NodeKind::Folder)
        return message::fileReplacedByFolder(relative);
    std::vector<std::pair<fs::path, os::NodeKind>> children;
    const SwitchTrees::Spot staged = m_trees.content(relative);
    if (const std::error_code error = staged.tree->list(staged.relative, children))
        return message::stagingError(underFolder(m_paths.staging / "content", relative), error);
    std::vector<std::pair<std::string, os::NodeKind>> sorted;
    for (const auto &[name, kind] : children)
        sorted.emplace_back(nameText(name), kind);
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::string> names;
    std::vector<os::NodeKind> kinds;
    for (const auto &[name, kind] : sorted) {
        names.push_back(name);
        kinds.push_back(kind);
    }
    return planFolder(relative, names, kinds, withoutMode);
}

std::optional<std::string> SwitchOver::checkTargets() const
{
    for (const fs::path &folder : m_targetFolders) {
        const std::string name = nameText(folder.lexically_relative(m_paths.target.parent_path()));
        if (!os::canWriteInto(folder))
            return message::notWritable(name);
        if (!os::sameVolume(folder, m_paths.staging))
            return message::otherVolume(name);
    }
    return std::nullopt;
}

std::optional<std::string> SwitchOver::syncTouchedFolders() const
{
    const std::error_code whole = whileBusy(m_observer, [this] { return os::syncVolume(m_paths.staging); });
    if (whole != std::errc::function_not_supported)
        return whole ? std::optional(message::stagingError(m_paths.staging, whole)) : std::nullopt;
    for (const fs::path &folder : m_targetFolders) {
        if (const std::error_code error = os::syncFolder(folder))
            return message::stagingError(folder, error);
    }
    for (const fs::path &folder : m_backupFolders) {
        const fs::path path = m_paths.staging / "backup" / folder;
        if (const std::error_code error = os::syncFolder(path))
            return message::stagingError(path, error);
    }
    return std::nullopt;
}

std::optional<std::string> SwitchOver::run(Staging &staging)
{
    std::error_code error = m_trees.open(m_paths);
    if (error)
        return message::stagingError(m_paths.staging, error);
    for (const fs::path &folder : m_backupFolders) {
        const SwitchTrees::Spot spot = m_trees.backup(nameText(folder));
        if ((error = spot.tree->createFolders(spot.relative)))
            return message::stagingError(m_paths.staging / "backup" / folder, error);
    }
    if (auto failure = staging.flush())
        return failure;
    const NewFiles &files = staging.newFiles();
    if ((error = writeRecord(m_paths, m_moves, files)))
        return message::stagingError(m_paths.record(), error);
    m_observer.busy();
    // From here on, every way out runs the undo or leaves the record for the next start.
    try {
        return switchFiles(files);
    } catch (...) {
        return undone(m_current, caughtError(), files);
    }
}

std::optional<std::string> SwitchOver::switchFiles(const NewFiles &files)
{
    const auto firstPlace = std::find_if(m_moves.begin(), m_moves.end(),
                                         [](const Move &move) { return move.kind != Move::Kind::Backup; });
    for (auto move = m_moves.begin(); move != m_moves.end(); ++move) {
        m_current = move->relative;
        std::error_code error;
        // Old files set aside must be on disk before any new file takes their place.
        if (move == firstPlace && syncTouchedFolders())
            error = std::make_error_code(std::errc::io_error);
        else
            error = switchPoint(static_cast<std::size_t>(move - m_moves.begin()));
        if (!error)
            error = os::retryWhileHeld(
                [&] { return renameSpot(m_trees.source(*move), m_trees.destination(*move)); });
        if (error)
            return undone(move->relative, error, files);
        m_observer.busy();
    }
    // Best effort: should the new names not reach the disk, the record still finds them.
    syncTouchedFolders();
    switchPoint(m_moves.size());
    const SwitchState state(m_trees, m_moves, files);
    std::error_code error;
    std::string missing;
    if (!whileBusy(m_observer, [&] { return state.allInPlace(missing, error); }))
        return undone(missing, error ? error : std::make_error_code(std::errc::no_such_file_or_directory), files);
    switchPoint(m_moves.size() + 1);
    m_trees.close();
    // A staging left with its record is found complete by the next start; one without, cleared.
    dropStaging(m_paths.staging);
    switchPoint(m_moves.size() + 2);
    return std::nullopt;
}

std::string SwitchOver::undone(const std::string &relative, const std::error_code &error, const NewFiles &files)
{
    try {
        const SwitchState state(m_trees, m_moves, files);
        std::string notUndone;
        std::error_code undoError = state.undo(notUndone);
        const bool vanished = state.vanished(relative);
        m_trees.close();
        if (!undoError)
            fs::remove(m_paths.record(), undoError);
        if (!undoError)
            return vanished ? message::vanishedUndone(shown(relative)) : message::switchUndone(shown(relative), error);
    } catch (...) {
    }
    return message::switchNotUndone(shown(relative), error);
}

} // namespace kestrel::install
