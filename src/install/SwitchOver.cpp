#include "install/SwitchOver.h"

#include "install/InstallErrors.h"
#include "install/OwnFiles.h"
#include "install/Staging.h"
#include "install/WhileBusy.h"
#include "os/DiskSync.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace kestrel::install {

namespace {

SwitchPointHook g_hook = nullptr;

std::string nameText(const fs::path &name)
{
    const std::u8string text = name.u8string();
    return {text.begin(), text.end()};
}

} // namespace

void setSwitchPointHook(SwitchPointHook hook)
{
    g_hook = hook;
}

std::error_code switchPoint(std::size_t point)
{
    return g_hook ? g_hook(point) : std::error_code();
}

SwitchOver::SwitchOver(SwitchPaths paths, InstallObserver &observer)
    : m_paths(std::move(paths)), m_observer(observer)
{
}

std::optional<std::string> SwitchOver::plan(const std::vector<std::string> &topLevel)
{
    for (const std::string &top : topLevel) {
        if (auto refused = planEntry(top))
            return refused;
    }
    m_moves.insert(m_moves.end(), m_places.begin(), m_places.end());
    m_places.clear();
    return std::nullopt;
}

// Only real folders of the target are entered; a link there is a file to set aside, never a
// way into somewhere else.
std::optional<std::string> SwitchOver::planEntry(const std::string &relative)
{
    const fs::path staged = underFolder(m_paths.content(), relative);
    const fs::path installed = underFolder(m_paths.target, relative);
    const fs::file_status existing = linkStatus(installed);
    m_targetFolders.insert(installed.parent_path());
    if (!fs::exists(existing)) {
        m_places.push_back({Move::Kind::Place, relative});
        return std::nullopt;
    }
    if (!fs::is_directory(linkStatus(staged))) {
        if (fs::is_directory(existing))
            return message::folderReplacedByFile(relative);
        const Move backup{Move::Kind::Backup, relative};
        m_moves.push_back(backup);
        m_backupFolders.insert(m_paths.destination(backup).parent_path());
        m_places.push_back({Move::Kind::Place, relative});
        return std::nullopt;
    }
    if (!fs::is_directory(existing))
        return message::fileReplacedByFolder(relative);
    std::vector<std::string> children;
    std::error_code error;
    for (const fs::directory_entry &child : fs::directory_iterator(staged, error))
        children.push_back(nameText(child.path().filename()));
    if (error)
        return message::stagingError(staged, error);
    std::sort(children.begin(), children.end());
    for (const std::string &child : children) {
        if (auto refused = planEntry(relative + '/' + child))
            return refused;
    }
    return std::nullopt;
}

std::optional<std::string> SwitchOver::checkTargets() const
{
    for (const fs::path &folder : m_targetFolders) {
        const std::string name = nameText(folder.lexically_relative(m_paths.target.parent_path()));
        if (!os::canWriteInto(folder))
            return message::notWritable(name);
        if (!os::sameVolume(folder, m_paths.content()))
            return message::otherVolume(name);
    }
    return std::nullopt;
}

std::optional<std::string> SwitchOver::syncTouchedFolders() const
{
    const std::error_code whole = whileBusy(m_observer, [this] { return os::syncVolume(m_paths.staging); });
    if (whole != std::errc::function_not_supported)
        return whole ? std::optional(message::stagingError(m_paths.staging, whole)) : std::nullopt;
    for (const auto *folders : {&m_targetFolders, &m_backupFolders}) {
        for (const fs::path &folder : *folders) {
            if (const std::error_code error = os::syncFolder(folder))
                return message::stagingError(folder, error);
        }
    }
    return std::nullopt;
}

std::string SwitchOver::nameOf(const Move &move) const
{
    return nameText(fs::path(std::u8string(move.relative.begin(), move.relative.end())).make_preferred());
}

std::optional<std::string> SwitchOver::run(Staging &staging, bool &keepStaging)
{
    std::error_code error;
    for (const fs::path &folder : m_backupFolders) {
        if (fs::create_directories(folder, error); error)
            return message::stagingError(folder, error);
    }
    if (auto failure = staging.flush())
        return failure;
    if ((error = writeRecord(m_paths, m_moves)))
        return message::stagingError(m_paths.record(), error);

    const auto firstPlace = std::find_if(m_moves.begin(), m_moves.end(),
                                         [](const Move &move) { return move.kind == Move::Kind::Place; });
    for (auto move = m_moves.begin(); move != m_moves.end(); ++move) {
        // Old files set aside must be on disk before any new file takes their place.
        if (move == firstPlace && syncTouchedFolders())
            error = std::make_error_code(std::errc::io_error);
        else
            error = switchPoint(static_cast<std::size_t>(move - m_moves.begin()));
        if (!error)
            fs::rename(m_paths.source(*move), m_paths.destination(*move), error);
        if (error) {
            std::string notUndone;
            std::error_code undoError = undoMoves(m_paths, m_moves, notUndone);
            if (!undoError)
                fs::remove(m_paths.record(), undoError);
            keepStaging = static_cast<bool>(undoError);
            return keepStaging ? message::switchNotUndone(nameOf(*move), error)
                               : message::switchUndone(nameOf(*move), error);
        }
        m_observer.busy();
    }
    // Best effort: should the new names not reach the disk, the record still finds them.
    syncTouchedFolders();
    switchPoint(m_moves.size());
    keepStaging = static_cast<bool>(markCommitted(m_paths));
    switchPoint(m_moves.size() + 1);
    keepStaging = keepStaging || dropStaging(m_paths);
    switchPoint(m_moves.size() + 2);
    return std::nullopt;
}

} // namespace kestrel::install
