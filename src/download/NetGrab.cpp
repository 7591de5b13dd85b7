#include "download/NetGrab.h"

#include "download/DownloadFailures.h"
#include "platform/ProxyAccess.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace kestrel::download {

namespace {

// What Qt may buffer ahead of us while a receiver is busy; beyond it, it stops reading the socket.
constexpr qint64 kReplyBufferBytes = 8 * 1024 * 1024;
// A chunk is read once this much has gathered, or kBatchWaitMs after the previous one.
constexpr qint64 kBatchBytes = 1024 * 1024;
constexpr int kBatchWaitMs = 15;

bool isFetchable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

} // namespace

NetGrab::NetGrab(QNetworkAccessManager &network, platform::HttpSettings settings, QObject *parent)
    : QObject(parent), m_network(network), m_settings(std::move(settings))
{
    connect(&m_activityCheck, &QTimer::timeout, this, &NetGrab::checkActivity);
    connect(m_settings.clock, &platform::Clock::moved, this, &NetGrab::checkActivity);
    m_batchWait.setSingleShot(true);
    connect(&m_batchWait, &QTimer::timeout, this, [this] {
        if (m_reply && !m_reading)
            readBatches(m_reply);
    });
}

NetGrab::~NetGrab()
{
    releaseReply();
}

void NetGrab::DownloadStart(const QString &URL)
{
    start(URL, {});
}

void NetGrab::DownloadResume(const ResumePoint &from)
{
    start(from.url, from);
}

void NetGrab::start(const QString &URL, const ResumePoint &from)
{
    releaseReply();
    expectedLength = -1;
    receivedLength = 0;
    m_headersRead = false;
    m_keepBody = false;
    m_complete = false;
    m_from = {};
    m_resume = {URL, {}};
    if (from.isUsable() && from.total <= bodyLimit()) {
        m_from = from;
        m_resume = from;
        receivedLength = static_cast<qint32>(from.length);
    }

    const QUrl url(URL);
    if (!isFetchable(url)) {
        emit DownloadFailed(kUrlRefused, urlRefusedText(URL));
        return;
    }
    QNetworkRequest request = platform::makeServiceRequest(url, m_settings);
    if (!m_from.validator.isEmpty()) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_from.length) + '-');
        request.setRawHeader("If-Range", m_from.validator);
    }
    // Qt's own transfer time-out re-arms a timer through the event queue on every chunk,
    // which slows a large download measurably; a periodic look at the last activity is enough.
    request.setTransferTimeout(0);
    m_reply = m_network.get(request);
    m_reply->setReadBufferSize(kReplyBufferBytes);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &NetGrab::ReadContentLength);
    connect(m_reply, &QNetworkReply::readyRead, this, &NetGrab::onReadyRead);
    connect(m_reply, &QNetworkReply::finished, this, &NetGrab::onFinished);
    noteActivity();
    m_startedAt = *m_lastActivity;
    m_bytesSeen = 0;
    m_rateSamples.clear();
    qint64 period = 1000;
    if (m_settings.inactivityTimeout.count() > 0)
        period = std::min<qint64>(period, m_settings.inactivityTimeout.count() / 4);
    if (m_settings.trickleFloorBytesPerSecond > 0 && m_settings.trickleWindow.count() > 0)
        period = std::min<qint64>(period, m_settings.trickleWindow.count() / 8);
    m_activityCheck.start(static_cast<int>(std::max<qint64>(period, 10)));
}

void NetGrab::DownloadCancel()
{
    releaseReply();
}

void NetGrab::checkActivity()
{
    if (!m_reply)
        return;
    const qint64 idle = m_settings.inactivityTimeout.count();
    if (idle > 0 && m_lastActivity && (m_settings.clock->now() - *m_lastActivity).count() >= idle)
        fail(QNetworkReply::TimeoutError, stalledText());
    else if (isTrickling())
        fail(kTooSlow, tooSlowText(m_settings.trickleFloorBytesPerSecond, m_settings.trickleWindow));
}

// True once the bytes of the last whole window fall short of the floor; a window is judged only
// when it has passed in full, so a download is never judged on its first moments.
bool NetGrab::isTrickling()
{
    const qint64 window = m_settings.trickleWindow.count();
    if (m_settings.trickleFloorBytesPerSecond <= 0 || window <= 0)
        return false;
    const qint64 now = (m_settings.clock->now() - m_startedAt).count();
    if (m_rateSamples.empty())
        m_rateSamples.emplace_back(0, 0);
    m_rateSamples.emplace_back(now, m_bytesSeen);
    // Keep the newest sample that is at least a window old, and everything after it.
    while (m_rateSamples.size() > 2 && now - m_rateSamples[1].first >= window)
        m_rateSamples.pop_front();
    const auto &[then, bytesThen] = m_rateSamples.front();
    if (now - then < window)
        return false;
    const double needed = static_cast<double>(m_settings.trickleFloorBytesPerSecond) * (now - then) / 1000.0;
    return static_cast<double>(m_bytesSeen - bytesThen) < needed;
}

// A 206 that carries exactly the rest asked for: from the front's end to the same whole length.
bool NetGrab::takesUpFront(const QNetworkReply &reply) const
{
    const QByteArray range = reply.rawHeader("Content-Range").trimmed();
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    if (!range.startsWith("bytes ") || dash < 0 || slash < dash)
        return false;
    bool ok[3] = {};
    const qint64 first = range.mid(6, dash - 6).toLongLong(&ok[0]);
    const qint64 last = range.mid(dash + 1, slash - dash - 1).toLongLong(&ok[1]);
    const qint64 total = range.mid(slash + 1).toLongLong(&ok[2]);
    return ok[0] && ok[1] && ok[2] && first == m_from.length && total == m_from.total && last == total - 1;
}

void NetGrab::ReadContentLength()
{
    if (!m_reply)
        return;
    m_headersRead = true;
    noteActivity();
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (!m_from.validator.isEmpty()) {
        if (status == 206 && takesUpFront(*m_reply)) {
            m_keepBody = true;
            expectedLength = static_cast<qint32>(m_from.total);
            return;
        }
        if (status == 206 || status == 416) { // not the rest of what we hold: the whole body again
            const QString url = m_from.url; // start() clears m_from
            start(url, {});
            return;
        }
        if (status == 200) { // the server sends the whole body: the front goes
            m_from = {};
            receivedLength = 0;
        }
    }
    m_keepBody = status == 200;
    if (!m_keepBody)
        return;
    const QByteArray etag = m_reply->rawHeader("ETag").trimmed();
    const bool ranges = m_reply->rawHeader("Accept-Ranges").toLower().contains("bytes");
    // A weak ETag does not promise the same bytes, so it cannot vouch for a range.
    const QByteArray validator = !etag.isEmpty() && !etag.startsWith("W/") ? etag : m_reply->rawHeader("Last-Modified").trimmed();
    m_resume = {m_resume.url, ranges && validator.size() <= 256 ? validator : QByteArray()};
    const QByteArray text = m_reply->rawHeader("Content-Length").trimmed();
    bool isNumber = false;
    const qint64 declared = text.toLongLong(&isNumber);
    if (!isNumber || declared < 0) {
        expectedLength = -1;
        return;
    }
    if (declared > bodyLimit()) {
        fail(kBodyTooLarge, bodyTooLargeText(bodyLimit()));
        return;
    }
    expectedLength = static_cast<qint32>(declared);
    m_resume.total = declared;
}

void NetGrab::onReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!isCurrent(reply))
        return;
    if (m_reading)
        return; // a receiver is processing events inside our progress event: the outer loop reads on
    if (!m_headersRead)
        ReadContentLength();
    if (isCurrent(reply))
        readBatches(reply);
}

// Qt hands the body over in reads of a few KiB: tens of thousands for a large package. Taken
// as they come, each would cost a progress event, the receiver's event processing and a write
// of the package file; gathered into batches, a few hundred remain and the bar still moves
// every kBatchWaitMs.
void NetGrab::readBatches(QNetworkReply *reply)
{
    const quint64 generation = m_generation;
    m_reading = true;
    while (generation == m_generation) {
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            break;
        if (available < kBatchBytes && m_sinceRead.isValid() && m_sinceRead.elapsed() < kBatchWaitMs) {
            if (!m_batchWait.isActive())
                m_batchWait.start(kBatchWaitMs);
            break;
        }
        const qint64 got = readAvailable(reply);
        if (got < 0)
            return;
        m_sinceRead.restart();
        if (got > 0)
            emitChunkProgress();
    }
    if (generation == m_generation)
        m_reading = false;
}

// Reads what the reply holds, one batch at most, so that the window's events are handled between
// batches, and hands it to the chunk receiver: the count, or -1 once the download has ended.
// The batch buffer is the same from batch to batch: it is allocated, and its pages touched, once.
qint64 NetGrab::readAvailable(QNetworkReply *reply)
{
    if (!isCurrent(reply))
        return -1;
    const qint64 available = std::min(reply->bytesAvailable(), kBatchBytes);
    if (available <= 0)
        return 0;
    noteActivity();
    if (!m_keepBody) {
        const qint64 skipped = reply->skip(available);
        m_bytesSeen += qMax<qint64>(skipped, 0);
        if (skipped > 0 && receivedLength <= std::numeric_limits<qint32>::max() - skipped)
            receivedLength += static_cast<qint32>(skipped);
        return qMax<qint64>(skipped, 0);
    }
    if (receivedLength + available > bodyLimit()) {
        fail(kBodyTooLarge, bodyTooLargeText(bodyLimit()));
        return -1;
    }
    try {
        if (m_batch.size() < kBatchBytes)
            m_batch.resize(kBatchBytes);
        const qint64 got = qMax<qint64>(reply->read(m_batch.data(), available), 0);
        if (!chunkArrived(receivedLength, m_batch.constData(), got))
            return -1;
        receivedLength += static_cast<qint32>(got);
        m_resume.length = receivedLength;
        return got;
    } catch (const std::bad_alloc &) {
        fail(kOutOfMemory, outOfMemoryText());
        return -1;
    }
}

// Every byte of a kept body passes here once, in order.
bool NetGrab::chunkArrived(qint64 offset, const char *data, qint64 size)
{
    m_bytesSeen += size;
    if (!m_chunkReceiver || size == 0)
        return true;
    const QString problem = m_chunkReceiver(offset, data, size);
    if (problem.isEmpty())
        return true;
    fail(kPackageNotStored, problem);
    return false;
}

// A percentage only while the declared length holds; unknown or exceeded lengths give none.
void NetGrab::emitChunkProgress()
{
    if (expectedLength <= 0 || receivedLength > expectedLength)
        return;
    const double percent = static_cast<double>(receivedLength) / expectedLength * 100.0;
    emit DownloadProgress(static_cast<float>(percent));
}

void NetGrab::onFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!isCurrent(reply))
        return;
    if (!m_headersRead)
        ReadContentLength();
    qint64 got = 0;
    while ((got = readAvailable(reply)) > 0) {
        emitChunkProgress();
        if (!isCurrent(reply))
            return;
    }
    if (got < 0)
        return;

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QString reason = platform::reasonPhraseText(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute));
    const QNetworkReply::NetworkError error = reply->error();
    const QString proxyText = platform::proxyFailureText(*reply);
    const QString errorText = proxyText.isEmpty() ? reply->errorString() : proxyText;
    const bool kept = m_keepBody;
    const qint64 bodySize = receivedLength;
    releaseReply();

    if (status.isValid() && !kept) {
        emit DownloadFailed(status.toInt(), reason);
        return;
    }
    if (error != QNetworkReply::NoError || !status.isValid()) {
        emit DownloadFailed(static_cast<qint32>(error), errorText);
        return;
    }
    m_resume = {};
    m_complete = true;
    totalBytes = static_cast<qint32>(bodySize);
    const quint64 generation = m_generation;
    emit DownloadProgress(100.0F);
    if (generation == m_generation) // a receiver may have started another download
        emit DownloadComplete(totalBytes);
}

void NetGrab::fail(qint32 number, const QString &description)
{
    // What could not be kept or stored is no ground to take up again.
    if (number == kPackageNotStored || number == kBodyTooLarge || number == kOutOfMemory)
        m_resume = {};
    releaseReply();
    emit DownloadFailed(number, description);
}

// The reply never reaches a handler again; Qt deletes it once control is back in its loop.
void NetGrab::releaseReply()
{
    ++m_generation;
    m_activityCheck.stop();
    m_batchWait.stop();
    m_lastActivity.reset();
    m_sinceRead.invalidate();
    m_reading = false;
    m_batch = QByteArray();
    if (!m_reply)
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}

qint64 NetGrab::bodyLimit() const
{
    return std::clamp<qint64>(m_settings.maxBodyBytes, 0, std::numeric_limits<qint32>::max());
}

} // namespace kestrel::download
