#pragma once

#include "download/NetGrab.h"
#include "download/PackageDigest.h"
#include "os/PackageFile.h"

#include <QString>
#include <QtGlobal>

namespace kestrel::core {
class PackageArrival;
class StepHost;
}

namespace kestrel::download {

// Step 2 and the download control's events: the package file, written as the bytes arrive
// under a temporary name that only the completion renames, and the digest of those bytes, on a
// thread of its own, when a vendor key is built in. The body lives only in that file: the
// control reads it back from there when its Bytes are asked for. When a download fails part-way
// and the server allows ranges, the partial file is kept with a record of what it holds, and the
// next start asks for the rest only. The window forwards the control's three events to it. An
// arrival, when given, follows the file as it is written (the installation staging it early).
class DownloadStep {
public:
    DownloadStep(core::StepHost &host, NetGrab &grab, core::PackageArrival *arrival = nullptr);
    ~DownloadStep();
    DownloadStep(const DownloadStep &) = delete;
    DownloadStep &operator=(const DownloadStep &) = delete;

    // Prepares the bar, the updates folder and the package file, starts the download; always false.
    bool StartDownload();

    void grbDownload_DownloadProgress(float Progress);
    void grbDownload_DownloadComplete(qint32 BytesReceived);
    // What arrived of a package the server can send in ranges stays for the next attempt, which
    // asks for the rest only: the partial file and a record beside it of what it holds.
    void grbDownload_DownloadFailed(qint32 ErrorNumber, const QString &ErrorDescription);

    // The window is closing: the download stops without a further event and no package file remains.
    void CancelDownload();

private:
    QString storeChunk(qint64 offset, const char *data, qint64 size);
    bool reopenKept(const QString &url, NetGrab::ResumePoint &from);
    void startFollowers();
    void followersWritten();
    void stopFollowers();
    QByteArray readBack() const;
    bool waitForDigest(QByteArray &digest);
    bool waitForArrival();
    void dropPackage();

    core::StepHost &m_host;
    NetGrab &m_grab;
    os::PackageFile m_package;
    PackageDigest m_digest;
    core::PackageArrival *m_arrival;
    bool m_hashing = false; // a vendor key is built in: the package's digest must be the signed one
};

} // namespace kestrel::download
