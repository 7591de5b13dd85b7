#pragma once

#include "PackageFile.h"

#include <QString>

namespace kestrel {

// What went wrong with the updates folder or the package file, in French, for the download box.
QString describePackageProblem(const platform::PackageFile::Problem &problem, const QString &folder,
                               const QString &packagePath);

} // namespace kestrel
