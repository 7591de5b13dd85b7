#include "install/steps/Cleanup.h"

#include "core/StepHost.h"
#include "os/FileSystem.h"
#include "platform/ProgressBar.h"

#include <QFile>

namespace kestrel::install::steps {

// A package that cannot be deleted is left in place without a word: the update itself is
// installed, and the next download writes over the file anyway.
bool CleanTemporaryFiles(core::StepHost &host)
{
    platform::ProgressBar &bar = host.progressBar();
    const QString &packagePath = host.context().packagePath;
    bar.setValue(bar.min());
    if (!packagePath.isEmpty() && os::isOrdinaryFile(packagePath.toStdString())) {
        bar.setValue(bar.max() / 2.0F);
        QFile::remove(packagePath);
    }
    bar.setValue(bar.max());
    return true;
}

} // namespace kestrel::install::steps
