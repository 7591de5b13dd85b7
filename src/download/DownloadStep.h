#pragma once

#include "PackageFile.h"

#include <QString>
#include <QtGlobal>

namespace kestrel {

class NetGrab;
class StepHost;

// The failure number shown when the updates folder or the package file cannot be made or written.
inline constexpr qint32 kPackageStoreFailed = -1;

// Step 2: prepares the bar, the updates folder and the package file, starts the download; always false.
// The package is written as it arrives, under a temporary name that only the completion renames.
bool StartDownload(StepHost &host, NetGrab &grab, platform::PackageFile &package);

// The download control's events, as the main window forwards them.
void onDownloadProgress(StepHost &host, float progress);
void onDownloadComplete(StepHost &host, const NetGrab &grab, platform::PackageFile &package);
// The control's failure keeps what arrived of a package the server can send in ranges (the
// partial file and a record beside it) for the next attempt, which asks for the rest only.
void onDownloadFailed(StepHost &host, const NetGrab &grab, qint32 errorNumber, const QString &errorDescription,
                      platform::PackageFile &package);
// The step's own failures, and the box they share.
void onDownloadFailed(StepHost &host, qint32 errorNumber, const QString &errorDescription,
                      platform::PackageFile &package);

// The window is closing: the download stops without a further event and no package file remains.
void CancelDownload(NetGrab &grab, platform::PackageFile &package);

} // namespace kestrel
