#pragma once

#include <QString>

namespace kestrel {

class StepHost;

// Step 3: installs the package at packagePath into appFolder.
bool StartInstall(StepHost &host);
bool InstallPackage(StepHost &host, QString packagePath, QString targetFolder);

} // namespace kestrel
