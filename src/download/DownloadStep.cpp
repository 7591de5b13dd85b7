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
    m_digest.reset();
    m_grab.DownloadStart(m_host.updateService().baseUrl + core::kSoftwareId + QStringLiteral("/download"));
    return false;
}

QString DownloadStep::storeChunk(const char *data, qint64 size)
{
    if (m_hashing)
        m_digest.addData(data, size);
    const os::PackageFile::Problem written = m_package.write(data, static_cast<std::size_t>(size));
    const core::UpdateContext &context = m_host.context();
    return written ? packageNotStoredText(written, context.updatesFolder, context.packagePath) : QString();
}

void DownloadStep::grbDownload_DownloadProgress(float Progress)
{
    m_host.progressBar().setValue(Progress);
    m_host.eventPump().processPendingEvents();
}

void DownloadStep::grbDownload_DownloadComplete(qint32)
{
    const QByteArray bytes = m_grab.Bytes();
    if (bytes.isEmpty()) {
        m_package.discard();
        m_host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour.")
                                       + core::SupportContactText(),
                                   kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
        m_host.enableActionButton();
        return;
    }
    core::UpdateContext &context = m_host.context();
    // The chunks were written as they came; whatever the file lacks (nothing, normally) goes now.
    os::PackageFile::Problem problem;
    if (m_package.size() > bytes.size()) {
        problem = {os::PackageFile::Stage::Write, std::make_error_code(std::errc::io_error)};
    } else if (m_package.size() < bytes.size()) {
        const qint64 missing = bytes.size() - m_package.size();
        if (m_hashing)
            m_digest.addData(bytes.constData() + m_package.size(), missing);
        problem = m_package.write(bytes.constData() + m_package.size(), static_cast<std::size_t>(missing));
    }
    if (!problem && m_hashing
        && !isSignedPackageDigest(m_host.updateService(), context, m_digest.result())) {
        grbDownload_DownloadFailed(kPackageNotSigned, packageNotSignedText());
        return;
    }
    if (!problem)
        problem = m_package.commit(context.packageFileName.toStdString());
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
    m_package.discard();
    m_host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour : ")
                                   + QString::number(ErrorNumber) + QLatin1Char(' ') + ErrorDescription
                                   + core::SupportContactText(),
                               kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
    m_host.enableActionButton();
}

void DownloadStep::CancelDownload()
{
    m_grab.DownloadCancel();
    m_package.discard();
}

} // namespace kestrel::download
