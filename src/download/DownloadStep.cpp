#include "DownloadStep.h"

#include "EventPump.h"
#include "Https.h"
#include "MessageBoxes.h"
#include "NetGrab.h"
#include "PackageDigest.h"
#include "PackageFileText.h"
#include "Product.h"
#include "ProgressBar.h"
#include "StepHost.h"
#include "SupportContact.h"

#include <QDir>
#include <QFile>

#include <filesystem>
#include <limits>

namespace kestrel {

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

// Beside a kept partial file: what it holds, so that the next run can ask for the rest only.
std::string recordName(const QString &fileName)
{
    return partName(fileName).toStdString() + ".resume";
}

std::filesystem::path folderOf(const UpdateContext &context)
{
    return std::filesystem::path(context.updatesFolder.toStdU16String());
}

std::string recordText(const NetGrab::ResumePoint &point)
{
    return QStringLiteral("url=%1\nvalidator=%2\ntotal=%3\nlength=%4\n")
        .arg(point.url, QString::fromLatin1(point.validator))
        .arg(point.total)
        .arg(point.length)
        .toStdString();
}

NetGrab::ResumePoint parseRecord(const std::string &text)
{
    NetGrab::ResumePoint point;
    for (const QByteArray &line : QByteArray::fromStdString(text).split('\n')) {
        const QByteArray value = line.mid(line.indexOf('=') + 1);
        if (line.startsWith("url="))
            point.url = QString::fromUtf8(value);
        else if (line.startsWith("validator="))
            point.validator = value;
        else if (line.startsWith("total="))
            point.total = value.toLongLong();
        else if (line.startsWith("length="))
            point.length = value.toLongLong();
    }
    return point;
}

// Takes up the partial file a failed run kept for this very package, if it is intact: its
// bytes are read back for the digest and the completion, which see the whole body.
bool reopenKept(platform::PackageFile &package, const UpdateContext &context, const QString &url,
                NetGrab::ResumePoint &from, QByteArray &front)
{
    from = parseRecord(package.takeRecord(folderOf(context), recordName(context.packageFileName)));
    if (!from.isUsable() || from.url != url || from.total > std::numeric_limits<qint32>::max()
        || package.reopen(folderOf(context), partName(context.packageFileName).toStdString(), from.length))
        return false;
    front.reserve(from.total); // the whole body is gathered here: no copy when the rest arrives
    front.resize(from.length);
    if (!package.readFront(front.data(), static_cast<std::size_t>(from.length)))
        return true;
    package.discard();
    return false;
}

// A partial file kept for another version will never be taken up.
void removeOtherKeptFiles(const UpdateContext &context)
{
    const QDir folder(context.updatesFolder);
    const QString own = partName(context.packageFileName);
    const QStringList kept = folder.entryList({QStringLiteral("maj_*.part"), QStringLiteral("maj_*.part.resume")},
                                              QDir::Files | QDir::System | QDir::Hidden);
    for (const QString &name : kept)
        if (name != own && name != QString::fromStdString(recordName(context.packageFileName)))
            QFile::remove(folder.filePath(name));
}

} // namespace

bool StartDownload(StepHost &host, NetGrab &grab, platform::PackageFile &package)
{
    ProgressBar &bar = host.progressBar();
    bar.setMin(0.0F);
    bar.setMax(100.1F);
    bar.setValue(0.0F);

    UpdateContext &context = host.context();
    context.packagePath = context.updatesFolder + context.packageFileName;
    if (!isPlainFileName(context.packageFileName)) {
        onDownloadFailed(host, kPackageStoreFailed,
                         QStringLiteral("Nom de paquet non valide : « %1 ».").arg(context.packageFileName), package);
        return false;
    }
    const QString url = host.updateService().baseUrl + kSoftwareId + QStringLiteral("/download");
    NetGrab::ResumePoint from;
    QByteArray front;
    const bool resuming = reopenKept(package, context, url, from, front);
    const std::filesystem::path folder = folderOf(context);
    const std::string part = partName(context.packageFileName).toStdString();
    // Made before the request, so that a refused folder or temporary name costs no download.
    const platform::PackageFile::Problem problem = resuming ? platform::PackageFile::Problem{} : package.create(folder, part);
    if (problem) {
        onDownloadFailed(host, kPackageStoreFailed,
                         describePackageProblem(problem, context.updatesFolder, context.packagePath), package);
        return false;
    }
    removeOtherKeptFiles(context);
    const QString packagePath = context.packagePath;
    grab.setChunkReceiver([&package, &context, packagePath, folder, part](qint64 offset, const char *data, qint64 size) {
        platform::PackageFile::Problem written;
        if (offset == 0 && package.size() > 0) // the server sends the whole package again
            written = package.create(folder, part);
        else if (offset != package.size())
            written = {platform::PackageFile::Stage::Write, std::make_error_code(std::errc::io_error)};
        if (!written)
            written = package.write(data, static_cast<std::size_t>(size));
        return written ? describePackageProblem(written, context.updatesFolder, packagePath) : QString();
    });
    grab.setComputeSha256(!host.updateService().packagePublicKey.isEmpty());
    if (resuming)
        grab.DownloadResume(from, std::move(front));
    else
        grab.DownloadStart(url);
    return false;
}

void onDownloadProgress(StepHost &host, float progress)
{
    host.progressBar().setValue(progress);
    host.eventPump().processPendingEvents();
}

void onDownloadComplete(StepHost &host, const NetGrab &grab, platform::PackageFile &package)
{
    const QByteArray bytes = grab.Bytes();
    if (bytes.isEmpty()) {
        package.discard();
        host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour.")
                                     + SupportContactText(),
                                 kTitle, BoxIcon::Critical, BoxButtons::Ok);
    } else {
        const QString refusal = unsignedPackageProblem(host.updateService(), host.context(), grab.BytesSha256());
        if (!refusal.isEmpty()) {
            onDownloadFailed(host, kPackageNotSigned, refusal, package);
            return;
        }
        UpdateContext &context = host.context();
        // The chunks were written as they came; whatever the file lacks (nothing, normally) goes now.
        platform::PackageFile::Problem problem;
        if (package.size() > bytes.size())
            problem = {platform::PackageFile::Stage::Write, std::make_error_code(std::errc::io_error)};
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

void onDownloadFailed(StepHost &host, const NetGrab &grab, qint32 errorNumber, const QString &errorDescription,
                      platform::PackageFile &package)
{
    // What arrived of a package the server can send in ranges stays for the next attempt.
    const NetGrab::ResumePoint point = grab.resumePoint();
    if (point.isUsable() && package.isOpen() && package.size() == point.length)
        package.keep(recordName(host.context().packageFileName), recordText(point));
    onDownloadFailed(host, errorNumber, errorDescription, package); // removes the file unless kept
}

void onDownloadFailed(StepHost &host, qint32 errorNumber, const QString &errorDescription,
                      platform::PackageFile &package)
{
    package.discard();
    host.messageBoxes().show(QStringLiteral("Erreur lors du téléchargement de la mise à jour : ")
                                 + QString::number(errorNumber) + QLatin1Char(' ') + errorDescription
                                 + SupportContactText(),
                             kTitle, BoxIcon::Critical, BoxButtons::Ok);
    host.enableActionButton();
}

void CancelDownload(NetGrab &grab, platform::PackageFile &package)
{
    grab.DownloadCancel();
    package.discard();
}

} // namespace kestrel
