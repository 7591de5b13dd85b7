#include "install/Recovery.h"

#include "install/InstallErrors.h"
#include "install/OwnFiles.h"
#include "install/EngineTypes.h"
#include "install/SwitchRecord.h"

namespace fs = std::filesystem;

namespace kestrel::install {

// An interrupted switch-over is kept only when every new file is found in the application folder
// as it was staged: then the folder already is wholly new and only the backups remain to drop.
// In every other case it is undone, because the old files are all there (set aside or
// untouched) and the user never saw the update succeed; the next click installs it again from
// the package. The backups go only once the outcome is read back on disk.
namespace {

RecoveryResult failed(const std::string &detail)
{
    return {RecoveryOutcome::Failed, message::leftoverNotRecovered(detail), {}};
}

RecoveryResult recover(const fs::path &updates)
{
    SwitchPaths paths{{}, updates / kStagingFolderName};
    if (!fs::is_directory(linkStatus(updates)) || !fs::is_directory(linkStatus(paths.staging))
        || !fs::is_regular_file(linkStatus(paths.staging / kStagingMarkerName)))
        return {RecoveryOutcome::Nothing, {}, {}};
    // Without a record nothing of the application folder depends on the staging: it is a staging
    // that never reached its switch-over, or backups that could not be removed after one (on
    // Windows, the wizard's own executable or DLLs set aside while they ran). Removed without a
    // word; what cannot be removed yet is tried again at the next start.
    if (!existsHere(paths.record())) {
        dropStaging(paths.staging); // its marker last: what stays is still known as ours
        return {RecoveryOutcome::Nothing, {}, {}};
    }
    std::vector<Move> moves;
    NewFiles files;
    // A record only ever moves files of the folder that holds this updates folder.
    if (!readRecord(paths.staging, paths.target, moves, files)
        || withoutTrailingSeparator(paths.target) != updates.parent_path())
        return failed(message::unreadableRecord(paths.record()));
    SwitchTrees trees;
    std::error_code error = trees.open(paths);
    if (error)
        return failed(frenchSystemError(error));
    const SwitchState state(trees, moves, files);
    std::string missing;
    if (state.allInPlace(missing, error)) {
        trees.close();
        if ((error = dropStaging(paths.staging)))
            return failed(frenchSystemError(error));
        return {RecoveryOutcome::Completed, {}, {}};
    }
    if (error)
        return failed(message::notPutBack(missing, error));
    std::string notPutBack;
    if ((error = state.undo(notPutBack)))
        return failed(message::notPutBack(notPutBack, error));
    std::string vanished;
    for (auto file = files.begin(); file != files.end() && vanished.empty(); ++file)
        vanished = state.vanished(file->first) ? file->first : std::string();
    trees.close();
    if ((error = dropStaging(paths.staging)))
        return failed(frenchSystemError(error));
    return {RecoveryOutcome::RolledBack, {}, vanished};
}

} // namespace

RecoveryResult recoverInterruptedInstall(const fs::path &updatesFolder)
{
    const fs::path updates = withoutTrailingSeparator(updatesFolder);
    try {
        return recover(updates);
    } catch (const std::system_error &error) {
        // The staging and its record stay for the next start.
        return failed(frenchSystemError(error.code()));
    } catch (...) {
        return failed(frenchSystemError(std::make_error_code(std::errc::not_enough_memory)));
    }
}

} // namespace kestrel::install
