#include "Cleanup.h"

#include "FileSystem.h"
#include "ProgressBar.h"
#include "StepHost.h"

#include <QFile>

namespace kestrel {

// A package that cannot be deleted is left in place without a word: the update itself is
// installed, and the next download writes over the file anyway.
bool CleanTemporaryFiles(StepHost &host)
{
    ProgressBar &bar = host.progressBar();
    const QString &packagePath = host.context().packagePath;
    bar.setValue(bar.min());
    if (!packagePath.isEmpty() && platform::isOrdinaryFile(packagePath.toStdString())) {
        bar.setValue(bar.max() / 2.0F);
        QFile::remove(packagePath);
    }
    bar.setValue(bar.max());
    return true;
}

} // namespace kestrel
