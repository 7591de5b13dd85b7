#pragma once

#include <QString>
#include <QtGlobal>

namespace kestrel {

class NetGrab;
class StepHost;

// The failure number shown when the updates folder or the package file cannot be made.
inline constexpr qint32 kPackageStoreFailed = -1;

// Step 2: prepares the bar, the updates folder and the package path, starts the download; always false.
bool StartDownload(StepHost &host, NetGrab &grab);

// The download control's events, as the main window forwards them.
void onDownloadProgress(StepHost &host, float progress);
void onDownloadComplete(StepHost &host, const NetGrab &grab);
void onDownloadFailed(StepHost &host, qint32 errorNumber, const QString &errorDescription);

} // namespace kestrel
