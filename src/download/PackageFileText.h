#pragma once

#include "os/PackageFile.h"

#include <QString>

namespace kestrel::download {

// What went wrong with the updates folder or the package file, in French, for the download box.
QString describePackageProblem(const os::PackageFile::Problem &problem, const QString &folder,
                               const QString &packagePath);

} // namespace kestrel::download
