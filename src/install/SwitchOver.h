#pragma once

// Moving the staged package into the application folder with a way back: every old file the
// package replaces is first renamed into the backup folder beside the staging, then the new
// one is renamed in. Any failure puts everything back before it is reported.

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

    // Lists the moves; refuses a file where the package has a folder, or the reverse.
    std::optional<std::string> plan(const std::vector<std::string> &topLevel);
    // Every folder that receives a rename can be written and lies on the staging's volume.
    std::optional<std::string> checkTargets() const;
    // Writes the record and makes the moves. keepStaging: a failure could not be undone in
    // full, so the staging holds what the next start needs to finish the undo.
    std::optional<std::string> run(Staging &staging, bool &keepStaging);

    std::size_t moveCount() const { return m_moves.size(); }

private:
    std::optional<std::string> planEntry(const std::string &relative);
    std::optional<std::string> syncTouchedFolders() const;
    std::string nameOf(const Move &move) const;

    SwitchPaths m_paths;
    InstallObserver &m_observer;
    std::vector<Move> m_moves;  // all backups first, then all placements
    std::vector<Move> m_places;
    std::set<std::filesystem::path> m_targetFolders;  // folders of the target that receive a rename
    std::set<std::filesystem::path> m_backupFolders;
};

// The point counter seen by the test hook (see setSwitchPointHook).
std::error_code switchPoint(std::size_t point);

// For tests: called with 0, 1, ... before each rename of the switch-over, then with the
// number of renames n once they are all made, n + 1 once the update is marked as kept and
// n + 2 once the record and backups are gone. An error returned before a rename makes that
// rename fail with it; later points ignore the answer.
using SwitchPointHook = std::error_code (*)(std::size_t point);
void setSwitchPointHook(SwitchPointHook hook);

} // namespace kestrel::install
