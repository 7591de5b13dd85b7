#include "download/DownloadStep.h"

#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "download/NetGrab.h"
#include "download/PackageDigest.h"
#include "download/PackageFileText.h"
#include "platform/EventPump.h"
#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgressBar.h"

#include <filesystem>

namespace kestrel::download {

namespace {

const QString kTitle = QStringLiteral("Téléchargement de la mise à jour");

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

QString partName(const QString &fileName)
{
    return fileName + QStringLiteral(".part");
}

} // namespace

bool StartDownload(core::StepHost &host, NetGrab &grab, os::PackageFile &package)
{
    platform::ProgressBar &bar = host.progressBar();
    bar.setMin(0.0F);
    bar.setMax(100.1F);
    bar.setValue(0.0F);

    core::UpdateContext &context = host.context();
    context.packagePath = context.updatesFolder + context.packageFileName;
    if (!isPlainFileName(context.packageFileName)) {
        onDownloadFailed(host, kPackageStoreFailed,
                         QStringLiteral("Nom de paquet non valide : « %1 ».").arg(context.packageFileName), package);
        return false;
    }
    // Made before the request, so that a refused folder or temporary name costs no download.
    const os::PackageFile::Problem problem = package.create(
        std::filesystem::path(context.updatesFolder.toStdU16String()), partName(context.packageFileName).toStdString());
    if (problem) {
        onDownloadFailed(host, kPackageStoreFailed,
                         describePackageProblem(problem, context.updatesFolder, context.packagePath), package);
        return false;
    }
    const QString packagePath = context.packagePath;
    grab.setChunkReceiver([&package, &context, packagePath](const char *data, qint64 size) {
        const os::PackageFile::Problem written = package.write(data, static_cast<std::size_t>(size));
        return written ? describePackageProblem(written, context.updatesFolder, packagePath) : QString();
    });
    const QString url = host.updateService().baseUrl + core::kSoftwareId + QStringLiteral("/download");
    grab.setComputeSha256(!host.updateService().packagePublicKey.isEmpty());
    grab.DownloadStart(url);
    return false;
}

void onDownloadProgress(core::StepHost &host, float progress)
{
    host.progressBar().setValue(progress);
    host.eventPump().processPendingEvents();
}

void onDownloadComplete(core::StepHost &host, const NetGrab &grab, os::PackageFile &package)
{
    const QByteArray bytes = grab.Bytes();
    if (bytes.isEmpty()) {
        package.discard();
        host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour.")
                                     + core::SupportContactText(),
                                 kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
    } else {
        const QString refusal = unsignedPackageProblem(host.updateService(), host.context(), grab.BytesSha256());
        if (!refusal.isEmpty()) {
            onDownloadFailed(host, kPackageNotSigned, refusal, package);
            return;
        }
        core::UpdateContext &context = host.context();
        // The chunks were written as they came; whatever the file lacks (nothing, normally) goes now.
        os::PackageFile::Problem problem;
        if (package.size() > bytes.size())
            problem = {os::PackageFile::Stage::Write, std::make_error_code(std::errc::io_error)};
        else if (package.size() < bytes.size())
            problem = package.write(bytes.constData() + package.size(), static_cast<std::size_t>(bytes.size() - package.size()));
        if (!problem)
            problem = package.commit(context.packageFileName.toStdString());
        if (problem) {
            onDownloadFailed(host, kPackageStoreFailed,
                             describePackageProblem(problem, context.updatesFolder, context.packagePath), package);
            return;
        }
        host.ShowStepCompleted();
        host.TriggerNextStep();
    }
    host.enableActionButton();
}

void onDownloadFailed(core::StepHost &host, qint32 errorNumber, const QString &errorDescription,
                      os::PackageFile &package)
{
    package.discard();
    host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour : ")
                                 + QString::number(errorNumber) + QLatin1Char(' ') + errorDescription
                                 + core::SupportContactText(),
                             kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
    host.enableActionButton();
}

void CancelDownload(NetGrab &grab, os::PackageFile &package)
{
    grab.DownloadCancel();
    package.discard();
}

} // namespace kestrel::download
