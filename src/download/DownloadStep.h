#pragma once

#include "os/PackageFile.h"

#include <QString>
#include <QtGlobal>

namespace kestrel::core {
class StepHost;
}

namespace kestrel::download {

class NetGrab;

// The failure number shown when the updates folder or the package file cannot be made or written.
inline constexpr qint32 kPackageStoreFailed = -1;

// Step 2: prepares the bar, the updates folder and the package file, starts the download; always false.
// The package is written as it arrives, under a temporary name that only the completion renames.
bool StartDownload(core::StepHost &host, NetGrab &grab, os::PackageFile &package);

// The download control's events, as the main window forwards them.
void onDownloadProgress(core::StepHost &host, float progress);
void onDownloadComplete(core::StepHost &host, const NetGrab &grab, os::PackageFile &package);
void onDownloadFailed(core::StepHost &host, qint32 errorNumber, const QString &errorDescription,
                      os::PackageFile &package);

// The window is closing: the download stops without a further event and no package file remains.
void CancelDownload(NetGrab &grab, os::PackageFile &package);

} // namespace kestrel::download
