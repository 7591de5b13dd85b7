#pragma once

// Moving the staged package into the application folder with a way back: every old file the
// package replaces is first renamed into the backup folder beside the staging, then the new
// one is renamed in, then every new file is read back in place. Any failure, error code or
// exception alike, puts everything back before it is reported.

#include "install/EngineTypes.h"
#include "install/SwitchRecord.h"

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace kestrel::install {

class Staging;

class SwitchOver {
public:
    SwitchOver(SwitchPaths paths, InstallObserver &observer);

    // Lists the moves; refuses a file where the package has a folder, or the reverse. A new file
    // whose entry carries no permission bits takes those of the old file it replaces.
    std::optional<std::string> plan(const std::vector<std::string> &topLevel,
                                    const std::set<std::string> &withoutMode);
    // Every folder that receives a rename can be written and lies on the staging's volume.
    std::optional<std::string> checkTargets() const;
    // Writes the record and makes the moves. When a failure could not be undone in full, the
    // record stays, and with it the staging, for the next start to finish the undo.
    std::optional<std::string> run(Staging &staging);

    std::size_t moveCount() const { return m_moves.size(); }

private:
    std::optional<std::string> planFolder(const std::string &folder, const std::vector<std::string> &names,
                                          const std::vector<os::NodeKind> &incoming,
                                          const std::set<std::string> &withoutMode);
    std::optional<std::string> planEntry(const std::string &relative, os::NodeKind existing, os::NodeKind incoming,
                                         const std::set<std::string> &withoutMode);
    std::optional<std::string> syncTouchedFolders() const;
    std::optional<std::string> switchFiles(const NewFiles &files);
    // Runs the undo after a failure and tells what happened.
    std::string undone(const std::string &relative, const std::error_code &error, const NewFiles &files);

    SwitchPaths m_paths;
    InstallObserver &m_observer;
    std::vector<Move> m_moves;  // all backups first, then all placements
    std::vector<Move> m_places;
    std::set<std::filesystem::path> m_targetFolders;  // folders of the target that receive a rename
    std::set<std::filesystem::path> m_backupFolders;  // relative to the backup folder
    SwitchTrees m_trees;
    std::string m_current;  // the move under way
};

} // namespace kestrel::install
