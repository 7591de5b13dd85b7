#include "download/DownloadStep.h"

#include "core/Paths.h"
#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "download/DownloadFailures.h"
#include "download/NetGrab.h"
#include "platform/EventPump.h"
#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgressBar.h"

#include <chrono>
#include <optional>

namespace kestrel::download {

namespace {

const QString kTitle = QStringLiteral("Téléchargement de la mise à jour");

QString partName(const QString &fileName)
{
    return fileName + QStringLiteral(".part");
}

} // namespace

DownloadStep::DownloadStep(core::StepHost &host, NetGrab &grab) : m_host(host), m_grab(grab)
{
    m_grab.setChunkReceiver([this](const char *data, qint64 size) { return storeChunk(data, size); });
    m_grab.setBodyReader([this] { return readBack(); });
}

bool DownloadStep::StartDownload()
{
    platform::ProgressBar &bar = m_host.progressBar();
    bar.setMin(0.0F);
    bar.setMax(100.1F);
    bar.setValue(0.0F);

    core::UpdateContext &context = m_host.context();
    context.packagePath = context.updatesFolder + context.packageFileName;
    if (!core::isPlainFileName(context.packageFileName)) {
        grbDownload_DownloadFailed(kPackageNotStored, invalidPackageNameText(context.packageFileName));
        return false;
    }
    // Made before the request, so that a refused folder or temporary name costs no download.
    const os::PackageFile::Problem problem = m_package.create(
        core::toPath(context.updatesFolder), partName(context.packageFileName).toStdString());
    if (problem) {
        grbDownload_DownloadFailed(kPackageNotStored,
                                   packageNotStoredText(problem, context.updatesFolder, context.packagePath));
        return false;
    }
    m_hashing = !m_host.updateService().packagePublicKey.isEmpty();
    if (m_hashing)
        m_digest.start([this](std::int64_t offset, char *data, std::size_t size) {
            return m_package.readAt(offset, data, size);
        });
    m_grab.DownloadStart(m_host.updateService().baseUrl + core::kSoftwareId + QStringLiteral("/download"));
    return false;
}

QString DownloadStep::storeChunk(const char *data, qint64 size)
{
    const os::PackageFile::Problem written = m_package.write(data, static_cast<std::size_t>(size));
    if (m_hashing && !written)
        m_digest.written(m_package.size());
    const core::UpdateContext &context = m_host.context();
    return written ? packageNotStoredText(written, context.updatesFolder, context.packagePath) : QString();
}

// The whole package file as written so far; empty once it is committed or discarded.
QByteArray DownloadStep::readBack() const
{
    if (!m_package.isOpen())
        return {};
    QByteArray bytes(static_cast<qsizetype>(m_package.size()), Qt::Uninitialized);
    qint64 done = 0;
    while (done < bytes.size()) {
        const std::int64_t got = m_package.readAt(done, bytes.data() + done, static_cast<std::size_t>(bytes.size() - done));
        if (got <= 0)
            return {};
        done += got;
    }
    return bytes;
}

// The digest's thread has normally caught up with the last batch already; if it lags behind
// (a busy machine), the window keeps handling its events meanwhile. False when the window was
// closed meanwhile, which has dropped the package.
bool DownloadStep::waitForDigest(QByteArray &digest)
{
    std::optional<QByteArray> done;
    while (!(done = m_digest.result(std::chrono::milliseconds(15)))) {
        m_host.eventPump().processPendingEvents();
        if (!m_package.isOpen())
            return false;
    }
    digest = *done;
    return true;
}

// The digest's thread reads the file through the package's handle: it stops first.
void DownloadStep::dropPackage()
{
    m_digest.stop();
    m_package.discard();
}

void DownloadStep::grbDownload_DownloadProgress(float Progress)
{
    m_host.progressBar().setValue(Progress);
    m_host.eventPump().processPendingEvents();
}

void DownloadStep::grbDownload_DownloadComplete(qint32)
{
    // The body is the package file: an empty file is an empty body, without reading it back.
    if (m_package.size() == 0) {
        dropPackage();
        m_host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour.")
                                       + core::SupportContactText(),
                                   kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
        m_host.enableActionButton();
        return;
    }
    core::UpdateContext &context = m_host.context();
    if (m_hashing) {
        QByteArray digest;
        if (!waitForDigest(digest))
            return;
        if (!isSignedPackageDigest(m_host.updateService(), context, digest)) {
            grbDownload_DownloadFailed(kPackageNotSigned, packageNotSignedText());
            return;
        }
    }
    const os::PackageFile::Problem problem = m_package.commit(context.packageFileName.toStdString());
    if (problem) {
        grbDownload_DownloadFailed(kPackageNotStored,
                                   packageNotStoredText(problem, context.updatesFolder, context.packagePath));
        return;
    }
    m_host.ShowStepCompleted();
    m_host.TriggerNextStep();
    m_host.enableActionButton();
}

void DownloadStep::grbDownload_DownloadFailed(qint32 ErrorNumber, const QString &ErrorDescription)
{
    dropPackage();
    m_host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour : ")
                                   + QString::number(ErrorNumber) + QLatin1Char(' ') + ErrorDescription
                                   + core::SupportContactText(),
                               kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
    m_host.enableActionButton();
}

void DownloadStep::CancelDownload()
{
    m_grab.DownloadCancel();
    dropPackage();
}

} // namespace kestrel::download
