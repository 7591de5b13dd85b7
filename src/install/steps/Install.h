#pragma once

#include <QString>

namespace kestrel::core {
class StepHost;
}

namespace kestrel::install::steps {

class EarlyStaging;

// Step 3: installs the package at packagePath into appFolder, keeping what early staged of it
// when the complete package confirms that.
bool StartInstall(core::StepHost &host, EarlyStaging *early = nullptr);
bool InstallPackage(core::StepHost &host, QString packagePath, QString targetFolder, EarlyStaging *early = nullptr);

} // namespace kestrel::install::steps
