#pragma once

// Installs a zip package into a folder, free of the window: the whole archive is checked
// and written into a staging folder beside the package first, then switched into place with
// a way back, so that the target folder ends either wholly as it was or wholly updated.

#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

struct archive_entry;

namespace kestrel::install {

class InstallObserver {
public:
    virtual ~InstallObserver() = default;
    // The package was found safe; topLevelCount > 0.
    virtual void started(std::size_t topLevelCount) = 0;
    // That many top-level entries are fully written and verified (whole numbers, rising).
    virtual void topLevelStaged(std::size_t count) = 0;
    // Called between data blocks, entries and moves; cheap to ignore.
    virtual void busy() = 0;
};

enum class InstallOutcome { Installed, CannotOpen, Failed };

struct InstallResult {
    InstallOutcome outcome = InstallOutcome::Failed;
    std::string description;  // French, UTF-8, when Failed
};

// Lives in the package's folder and holds this marker, by which a leftover is known as ours.
inline constexpr const char *kStagingFolderName = "kestrel-staging";
inline constexpr const char *kStagingMarkerName = "kestrel-staging.marker";

enum class EntryKind { File, Folder, SymbolicLink, HardLink, Special };
EntryKind classifyEntry(archive_entry *entry);

InstallResult installPackage(const std::filesystem::path &package, const std::filesystem::path &target,
                             InstallObserver &observer);

// What the start of the wizard does with a switch-over that a crash or a power cut interrupted.
enum class RecoveryOutcome {
    Nothing,     // no interrupted switch-over
    RolledBack,  // the folder is back to wholly old
    Completed,   // every new file was found in place as staged: the update is kept
    Failed,      // could not be brought back; description says why (French, UTF-8)
};
struct RecoveryResult {
    RecoveryOutcome outcome = RecoveryOutcome::Nothing;
    std::string description;
    std::string vanished;  // RolledBack: a new file found neither in place nor staged (UTF-8)
};
RecoveryResult recoverInterruptedInstall(const std::filesystem::path &updatesFolder);

// For tests: called with 0, 1, ... before each rename of the switch-over, then with the
// number of renames n once they are all made, n + 1 once every new file was read back in place
// and n + 2 once the record and backups are gone. An error returned before a rename makes that
// rename fail with it; later points ignore the answer. A hook may also throw.
using SwitchPointHook = std::error_code (*)(std::size_t point);
void setSwitchPointHook(SwitchPointHook hook);
// The same, with 0, 1, ... before each rename of an undo (after a failure, or at start-up).
void setUndoPointHook(SwitchPointHook hook);
// Called before each worker thread starts; throwing there is a thread that could not start.
using WorkerStartHook = void (*)();
void setWorkerStartHook(WorkerStartHook hook);

} // namespace kestrel::install
