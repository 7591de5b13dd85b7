#pragma once

// Installs a zip package into a folder, free of the window: the whole archive is checked
// and written into a staging folder beside the package first, then switched into place with
// a way back, so that the target folder ends either wholly as it was or wholly updated.

#include "install/EngineTypes.h"

#include <filesystem>
#include <string>

namespace kestrel::install {

enum class InstallOutcome { Installed, CannotOpen, Failed };

struct InstallResult {
    InstallOutcome outcome = InstallOutcome::Failed;
    std::string description;  // French, UTF-8, when Failed
    bool stagedEarly = false;  // the staging made while the package arrived was kept
};

class ArrivingPackage;

// early: the staging made while the package arrived, used when the complete package confirms it.
InstallResult installPackage(const std::filesystem::path &package, const std::filesystem::path &target,
                             InstallObserver &observer, ArrivingPackage *early = nullptr);

} // namespace kestrel::install
