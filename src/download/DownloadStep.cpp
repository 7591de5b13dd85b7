#include "download/DownloadStep.h"

#include "core/PackageArrival.h"
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

#include <QDir>
#include <QFile>

#include <chrono>
#include <filesystem>
#include <limits>
#include <optional>

namespace kestrel::download {

namespace {

const QString kTitle = QStringLiteral("Téléchargement de la mise à jour");

QString partName(const QString &fileName)
{
    return fileName + QStringLiteral(".part");
}

// Beside a kept partial file: what it holds, so that the next run can ask for the rest only.
std::string recordName(const QString &fileName)
{
    return partName(fileName).toStdString() + ".resume";
}

std::filesystem::path folderOf(const core::UpdateContext &context)
{
    return core::toPath(context.updatesFolder);
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

// A partial file kept for another version will never be taken up.
void removeOtherKeptFiles(const core::UpdateContext &context)
{
    const QDir folder(context.updatesFolder);
    const QStringList own{partName(context.packageFileName), QString::fromStdString(recordName(context.packageFileName))};
    const QStringList kept = folder.entryList({QStringLiteral("maj_*.part"), QStringLiteral("maj_*.part.resume")},
                                              QDir::Files | QDir::System | QDir::Hidden);
    for (const QString &name : kept)
        if (!own.contains(name))
            QFile::remove(folder.filePath(name));
}

} // namespace

DownloadStep::DownloadStep(core::StepHost &host, NetGrab &grab, core::PackageArrival *arrival)
    : m_host(host), m_grab(grab), m_arrival(arrival)
{
    m_grab.setChunkReceiver([this](qint64 offset, const char *data, qint64 size) { return storeChunk(offset, data, size); });
    m_grab.setBodyReader([this] { return readBack(); });
}

// The followers read through the package's handle: they stop before it closes.
DownloadStep::~DownloadStep()
{
    dropPackage();
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
    const QString url = m_host.updateService().baseUrl + core::kSoftwareId + QStringLiteral("/download");
    NetGrab::ResumePoint from;
    const bool resuming = reopenKept(url, from);
    // Made before the request, so that a refused folder or temporary name costs no download.
    const os::PackageFile::Problem problem = resuming ? os::PackageFile::Problem{}
        : m_package.create(folderOf(context), partName(context.packageFileName).toStdString());
    if (problem) {
        grbDownload_DownloadFailed(kPackageNotStored,
                                   packageNotStoredText(problem, context.updatesFolder, context.packagePath));
        return false;
    }
    removeOtherKeptFiles(context);
    m_hashing = !m_host.updateService().packagePublicKey.isEmpty();
    startFollowers();
    if (resuming)
        m_grab.DownloadResume(from);
    else
        m_grab.DownloadStart(url);
    return false;
}

// Takes up the partial file a failed run kept for this very package, if it is intact; the
// digest then starts with its bytes, read back from the file.
bool DownloadStep::reopenKept(const QString &url, NetGrab::ResumePoint &from)
{
    const core::UpdateContext &context = m_host.context();
    from = parseRecord(m_package.takeRecord(folderOf(context), recordName(context.packageFileName)));
    return from.isUsable() && from.url == url && from.total <= std::numeric_limits<qint32>::max()
        && !m_package.reopen(folderOf(context), partName(context.packageFileName).toStdString(), from.length);
}

// The digest and the arrival cover the whole file, from its first byte, whatever the file
// already holds.
void DownloadStep::startFollowers()
{
    const auto reader = [this](std::int64_t offset, char *data, std::size_t size) {
        return m_package.readAt(offset, data, size);
    };
    if (m_hashing)
        m_digest.start(reader);
    if (m_arrival)
        m_arrival->begin(m_host.context(), reader, [this](std::int64_t offset, std::int64_t length) {
            m_package.startWriteBack(offset, length);
        });
    if (m_package.size() > 0)
        followersWritten();
}

void DownloadStep::followersWritten()
{
    if (m_hashing)
        m_digest.written(m_package.size());
    if (m_arrival)
        m_arrival->written(m_package.size());
}

void DownloadStep::stopFollowers()
{
    m_digest.stop();
    if (m_arrival)
        m_arrival->discard();
}

QString DownloadStep::storeChunk(qint64 offset, const char *data, qint64 size)
{
    const core::UpdateContext &context = m_host.context();
    os::PackageFile::Problem written;
    if (offset == 0 && m_package.size() > 0) { // the server sends the whole package again
        stopFollowers();
        written = m_package.create(folderOf(context), partName(context.packageFileName).toStdString());
        if (!written)
            startFollowers();
    } else if (offset != m_package.size()) {
        written = {os::PackageFile::Stage::Write, std::make_error_code(std::errc::io_error)};
    }
    if (!written)
        written = m_package.write(data, static_cast<std::size_t>(size));
    if (!written)
        followersWritten();
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

// The followers' threads read the file through the package's handle: they stop first.
void DownloadStep::dropPackage()
{
    stopFollowers();
    m_package.discard();
}

// The staging of the package as it arrives has normally kept up with the download; the window
// is served while it catches up. False when the window was closed meanwhile.
bool DownloadStep::waitForArrival()
{
    while (m_arrival && !m_arrival->complete(15)) {
        m_host.eventPump().processPendingEvents();
        if (!m_package.isOpen())
            return false;
    }
    return true;
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
    if (!waitForArrival())
        return;
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
    stopFollowers();
    const NetGrab::ResumePoint point = m_grab.resumePoint();
    if (point.isUsable() && m_package.isOpen() && m_package.size() == point.length)
        m_package.keep(recordName(m_host.context().packageFileName), recordText(point));
    m_package.discard(); // unless kept
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
