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

#include <QDir>
#include <QFile>

#include <filesystem>
#include <limits>

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

DownloadStep::DownloadStep(core::StepHost &host, NetGrab &grab) : m_host(host), m_grab(grab)
{
    m_grab.setChunkReceiver([this](qint64 offset, const char *data, qint64 size) { return storeChunk(offset, data, size); });
}

// Takes up the partial file a failed run kept for this very package, if it is intact: its
// bytes are read back for the digest and the completion, which see the whole body.
bool DownloadStep::reopenKept(const QString &url, NetGrab::ResumePoint &from, QByteArray &front)
{
    const core::UpdateContext &context = m_host.context();
    from = parseRecord(m_package.takeRecord(folderOf(context), recordName(context.packageFileName)));
    if (!from.isUsable() || from.url != url || from.total > std::numeric_limits<qint32>::max()
        || m_package.reopen(folderOf(context), partName(context.packageFileName).toStdString(), from.length))
        return false;
    front.reserve(from.total); // the whole body is gathered here: no copy when the rest arrives
    front.resize(from.length);
    if (m_package.readFront(front.data(), static_cast<std::size_t>(from.length))) {
        m_package.discard();
        return false;
    }
    if (m_hashing)
        m_digest.addData(front.constData(), front.size());
    return true;
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
    m_hashing = !m_host.updateService().packagePublicKey.isEmpty();
    m_digest.reset();
    const QString url = m_host.updateService().baseUrl + core::kSoftwareId + QStringLiteral("/download");
    NetGrab::ResumePoint from;
    QByteArray front;
    const bool resuming = reopenKept(url, from, front);
    // Made before the request, so that a refused folder or temporary name costs no download.
    const os::PackageFile::Problem problem = resuming ? os::PackageFile::Problem{}
        : m_package.create(folderOf(context), partName(context.packageFileName).toStdString());
    if (problem) {
        grbDownload_DownloadFailed(kPackageNotStored,
                                   packageNotStoredText(problem, context.updatesFolder, context.packagePath));
        return false;
    }
    removeOtherKeptFiles(context);
    if (resuming)
        m_grab.DownloadResume(from, std::move(front));
    else
        m_grab.DownloadStart(url);
    return false;
}

QString DownloadStep::storeChunk(qint64 offset, const char *data, qint64 size)
{
    const core::UpdateContext &context = m_host.context();
    os::PackageFile::Problem written;
    if (offset == 0 && m_package.size() > 0) { // the server sends the whole package again
        m_digest.reset();
        written = m_package.create(folderOf(context), partName(context.packageFileName).toStdString());
    } else if (offset != m_package.size()) {
        written = {os::PackageFile::Stage::Write, std::make_error_code(std::errc::io_error)};
    }
    if (m_hashing)
        m_digest.addData(data, size);
    if (!written)
        written = m_package.write(data, static_cast<std::size_t>(size));
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
    m_package.discard();
}

} // namespace kestrel::download
