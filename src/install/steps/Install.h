#pragma once

#include <QString>

namespace kestrel::core {
class StepHost;
}

namespace kestrel::install::steps {

// Step 3: installs the package at packagePath into appFolder.
bool StartInstall(core::StepHost &host);
bool InstallPackage(core::StepHost &host, QString packagePath, QString targetFolder);

} // namespace kestrel::install::steps
