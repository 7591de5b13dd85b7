#include "install/Recovery.h"

#include "install/InstallErrors.h"
#include "install/OwnFiles.h"
#include "install/SwitchRecord.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace kestrel::install {

// A switch-over is completed only when every move was made before the interruption: then
// the folder already is wholly new and only the backups remain to drop. In every other case
// it is undone, because the old files are all there (set aside or untouched) and the user
// never saw the update succeed; the next click installs it again from the package.
namespace {

fs::path withoutTrailingSeparator(const fs::path &folder)
{
    const fs::path normal = folder.lexically_normal();
    return normal.has_filename() || normal == normal.root_path() ? normal : normal.parent_path();
}

} // namespace

RecoveryResult recoverInterruptedInstall(const fs::path &updatesFolder)
{
    const fs::path updates = withoutTrailingSeparator(updatesFolder);
    SwitchPaths paths{{}, updates / kStagingFolderName};
    if (!fs::is_directory(linkStatus(updates)) || !fs::is_directory(linkStatus(paths.staging))
        || !fs::is_regular_file(linkStatus(paths.staging / kStagingMarkerName)))
        return {RecoveryOutcome::Nothing, {}};
    std::error_code error;
    if (fs::is_regular_file(linkStatus(paths.committed()))) {
        if ((error = dropStaging(paths)))
            return {RecoveryOutcome::Failed, message::leftoverNotRecovered(os::frenchSystemError(error))};
        return {RecoveryOutcome::Completed, {}};
    }
    if (!existsHere(paths.record()))
        return {RecoveryOutcome::Nothing, {}};
    const std::optional<std::vector<Move>> moves = readRecord(paths.staging, paths.target);
    // A record only ever moves files of the folder that holds this updates folder.
    if (!moves || withoutTrailingSeparator(paths.target) != updates.parent_path())
        return {RecoveryOutcome::Failed, message::leftoverNotRecovered(message::unreadableRecord(paths.record()))};
    const bool allDone = std::all_of(moves->begin(), moves->end(),
                                     [&paths](const Move &move) { return moveDone(paths, move); });
    if (allDone) {
        if ((error = markCommitted(paths)) || (error = dropStaging(paths)))
            return {RecoveryOutcome::Failed, message::leftoverNotRecovered(os::frenchSystemError(error))};
        return {RecoveryOutcome::Completed, {}};
    }
    std::string failed;
    if ((error = undoMoves(paths, *moves, failed)))
        return {RecoveryOutcome::Failed, message::leftoverNotRecovered(message::notPutBack(failed, error))};
    if ((error = dropStaging(paths)))
        return {RecoveryOutcome::Failed, message::leftoverNotRecovered(os::frenchSystemError(error))};
    return {RecoveryOutcome::RolledBack, {}};
}

} // namespace kestrel::install
