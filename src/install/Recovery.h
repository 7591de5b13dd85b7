#pragma once

// The start of the wizard: what was left of a switch-over that a crash or a power cut interrupted.

#include <filesystem>
#include <string>

namespace kestrel::install {

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

} // namespace kestrel::install
