#pragma once

#include "platform/Https.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

class QNetworkAccessManager;

namespace kestrel::download {

// Downloads one URL by GET in the background and reports through three events, all raised on
// the thread that owns the object. The control keeps no copy of the body: each batch of a 200
// reply goes to the chunk receiver, which stores it (the download step writes the package file),
// and Bytes reads the body back through the body reader; so memory does not grow with the body.
//
// DownloadFailed carries Qt's QNetworkReply::NetworkError value for a transport failure,
// the HTTP status for a reply other than 200, or one of the numbers of DownloadFailures.h.
class NetGrab : public QObject {
    Q_OBJECT
public:
    // Given each chunk of a kept body once, in order, with its offset in the body, before that
    // chunk's progress event; a non-empty answer (a French description) fails the download with
    // kPackageNotStored. An offset of 0 after other chunks means the body starts over.
    using ChunkReceiver = std::function<QString(qint64 offset, const char *data, qint64 size)>;

    // Where an interrupted body can be taken up again: its address, the server's validator of
    // it (a strong ETag, or Last-Modified), its whole length and how many of its first bytes arrived.
    struct ResumePoint {
        QString url;
        QByteArray validator;
        qint64 total = -1;
        qint64 length = 0;
        bool isUsable() const { return !validator.isEmpty() && length > 0 && length < total; }
    };

    // Answers the body that the chunk receiver stored, read back from where it keeps it.
    using BodyReader = std::function<QByteArray()>;

    NetGrab(QNetworkAccessManager &network, platform::HttpSettings settings, QObject *parent = nullptr);
    ~NetGrab() override;

    // Replaces any running download; a URL the client refuses fails before this returns.
    void DownloadStart(const QString &URL);
    // The same, asking only for what follows the body's first bytes, which the chunk receiver
    // already stored, as `from` describes them (Range and If-Range). The progress includes them.
    // When the server sends the whole body instead, or cannot send that rest, it starts over
    // from its first byte.
    void DownloadResume(const ResumePoint &from);
    // After DownloadFailed: where that body could be taken up again; not usable when the server
    // named no validator, no length or no byte ranges, or when the failure was in storing it.
    ResumePoint resumePoint() const { return m_resume.isUsable() ? m_resume : ResumePoint{}; }
    // The body of the last download when it ended with status 200, read back through the body
    // reader each time it is asked for; empty otherwise, or without a reader.
    QByteArray Bytes() const { return m_complete && m_bodyReader ? m_bodyReader() : QByteArray(); }
    // Apply to the downloads started afterwards.
    void setChunkReceiver(ChunkReceiver receiver) { m_chunkReceiver = std::move(receiver); }
    void setBodyReader(BodyReader reader) { m_bodyReader = std::move(reader); }
    // Ends the running download, if any, without a further event.
    void DownloadCancel();

signals:
    void DownloadComplete(qint32 BytesReceived);
    void DownloadProgress(float Progress);
    void DownloadFailed(qint32 ErrorNumber, const QString &ErrorDescription);

private:
    void ReadContentLength();
    void onReadyRead();
    void readBatches(QNetworkReply *reply);
    void onFinished();
    qint64 readAvailable(QNetworkReply *reply);
    void start(const QString &URL, const ResumePoint &from);
    bool takesUpFront(const QNetworkReply &reply) const;
    bool chunkArrived(qint64 offset, const char *data, qint64 size);
    bool isTrickling();
    void emitChunkProgress();
    void fail(qint32 number, const QString &description);
    void checkActivity();
    void noteActivity() { m_lastActivity = m_settings.clock->now(); }
    void releaseReply();
    qint64 bodyLimit() const;
    bool isCurrent(const QNetworkReply *reply) const { return reply && reply == m_reply; }

    QNetworkAccessManager &m_network;
    platform::HttpSettings m_settings;
    QPointer<QNetworkReply> m_reply;
    bool m_headersRead = false;
    bool m_keepBody = false;   // false for a reply other than 200: its body is counted, not stored
    bool m_complete = false;   // the last download ended with status 200
    bool m_reading = false;    // inside readBatches: nested notifications leave the reading to it
    quint64 m_generation = 0; // moves on whenever the current reply is released
    QByteArray m_batch;        // one batch of the body, reused from batch to batch
    QTimer m_activityCheck;
    // On the settings' clock: when the running download started and last received something.
    std::chrono::milliseconds m_startedAt{0};
    std::optional<std::chrono::milliseconds> m_lastActivity;
    QTimer m_batchWait;         // reads what has gathered when no full batch comes
    QElapsedTimer m_sinceRead;
    qint64 m_bytesSeen = 0;                    // every body byte of the current download
    std::deque<std::pair<qint64, qint64>> m_rateSamples; // (ms since start, bytes seen), oldest first
    ChunkReceiver m_chunkReceiver;
    BodyReader m_bodyReader;
    ResumePoint m_from;   // what the running download asked to take up; empty for a whole body
    ResumePoint m_resume; // what the body received so far allows

    qint32 totalBytes = 0;
    qint32 expectedLength = -1;
    qint32 receivedLength = 0;
};

} // namespace kestrel::download
