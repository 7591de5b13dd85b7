#pragma once

#include <QString>
#include <QtGlobal>

namespace kestrel {

class NetGrab;

// The main window's fields through which the steps hand their results to each other.
// Folder paths end in exactly one native separator.
struct UpdateContext {
    QString appFolder;
    QString updatesFolder;
    QString latestVersion;
    QString packageFileName;
    QString packagePath;
    qint32 currentStep = 0;
    NetGrab *grbDownload = nullptr;
};

} // namespace kestrel
