#include "DownloadStep.h"

#include "EventPump.h"
#include "FileSystem.h"
#include "Https.h"
#include "MessageBoxes.h"
#include "NetGrab.h"
#include "PackageDigest.h"
#include "Product.h"
#include "ProgressBar.h"
#include "StepHost.h"
#include "SupportContact.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>

#include <chrono>
#include <filesystem>
#include <future>

namespace kestrel {

namespace {

const QString kTitle = QStringLiteral("Téléchargement de la mise à jour");

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// Empty when the folder exists or was made; otherwise what went wrong, in French.
// A link or junction in its place is not followed: what it leads to is not ours.
QString ensureFolder(const QString &folder)
{
    std::error_code error;
    const platform::NodeKind kind = platform::nodeKind(std::filesystem::path(folder.toStdU16String()), error);
    if (kind == platform::NodeKind::Folder || (kind == platform::NodeKind::Missing && QDir().mkdir(folder)))
        return {};
    if (kind == platform::NodeKind::Link)
        return QStringLiteral("Le dossier « %1 » est un lien vers un autre emplacement ; "
                              "la mise à jour n'y écrit pas.").arg(QDir::toNativeSeparators(folder));
    return QStringLiteral("Impossible de créer le dossier « %1 ».").arg(QDir::toNativeSeparators(folder));
}

// The whole package or nothing: written beside its final name, then renamed over it. No sync
// to disk: after a power cut the wizard starts over and downloads the package again anyway.
QString writePackage(const QString &path, const QByteArray &bytes)
{
    const QString partial = path + QStringLiteral(".part");
    QFile file(partial);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    std::error_code renameError;
    if (written)
        std::filesystem::rename(std::filesystem::path(partial.toStdU16String()),
                                std::filesystem::path(path.toStdU16String()), renameError);
    if (written && !renameError)
        return {};
    QFile::remove(partial);
    return QStringLiteral("Impossible d'enregistrer le fichier « %1 ».").arg(QDir::toNativeSeparators(path));
}

// Writing a large package takes a while: it happens on a worker thread while the
// window keeps handling its events (the action button is disabled meanwhile).
QString writePackageResponsively(const QString &path, const QByteArray &bytes, EventPump &pump)
{
    std::future<QString> written = std::async(std::launch::async, writePackage, path, bytes);
    while (written.wait_for(std::chrono::milliseconds(15)) != std::future_status::ready)
        pump.processPendingEvents();
    return written.get();
}

} // namespace

bool StartDownload(StepHost &host, NetGrab &grab)
{
    ProgressBar &bar = host.progressBar();
    bar.setMin(0.0F);
    bar.setMax(100.1F);
    bar.setValue(0.0F);

    UpdateContext &context = host.context();
    QString problem = ensureFolder(context.updatesFolder);
    if (problem.isEmpty() && !isPlainFileName(context.packageFileName))
        problem = QStringLiteral("Nom de paquet non valide : « %1 ».").arg(context.packageFileName);
    if (!problem.isEmpty()) {
        onDownloadFailed(host, kPackageStoreFailed, problem);
        return false;
    }
    const QString url = host.updateService().baseUrl + kSoftwareId + QStringLiteral("/download");
    context.packagePath = context.updatesFolder + context.packageFileName;
    grab.setComputeSha256(!host.updateService().packagePublicKey.isEmpty());
    grab.DownloadStart(url);
    return false;
}

void onDownloadProgress(StepHost &host, float progress)
{
    host.progressBar().setValue(progress);
    host.eventPump().processPendingEvents();
}

void onDownloadComplete(StepHost &host, const NetGrab &grab)
{
    const QByteArray bytes = grab.Bytes();
    if (bytes.isEmpty()) {
        host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour.")
                                     + SupportContactText(),
                                 kTitle, BoxIcon::Critical, BoxButtons::Ok);
    } else {
        const QString refusal = unsignedPackageProblem(host.updateService(), host.context(), grab.BytesSha256());
        if (!refusal.isEmpty()) {
            onDownloadFailed(host, kPackageNotSigned, refusal);
            return;
        }
        const QString problem = writePackageResponsively(host.context().packagePath, bytes, host.eventPump());
        if (!problem.isEmpty()) {
            onDownloadFailed(host, kPackageStoreFailed, problem);
            return;
        }
        host.ShowStepCompleted();
        host.TriggerNextStep();
    }
    host.enableActionButton();
}

void onDownloadFailed(StepHost &host, qint32 errorNumber, const QString &errorDescription)
{
    host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour : ")
                                 + QString::number(errorNumber) + QLatin1Char(' ') + errorDescription
                                 + SupportContactText(),
                             kTitle, BoxIcon::Critical, BoxButtons::Ok);
    host.enableActionButton();
}

} // namespace kestrel
