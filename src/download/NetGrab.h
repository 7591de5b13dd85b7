#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "Https.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace kestrel {

// Downloads one URL by GET into memory, in the background, and reports through three events.
class NetGrab : public QObject {
    Q_OBJECT
public:
    NetGrab(QNetworkAccessManager &network, HttpSettings settings, QObject *parent = nullptr);

    void DownloadStart(const QString &URL);
    QByteArray Bytes() const { return downloadedBytes; }

signals:
    void DownloadComplete(qint32 BytesReceived);
    void DownloadProgress(float Progress);
    void DownloadFailed(qint32 ErrorNumber, const QString &ErrorDescription);

private:
    QNetworkAccessManager &m_network;
    HttpSettings m_settings;
    QByteArray downloadedBytes;
    qint32 totalBytes = 0;
    qint32 expectedLength = -1;
    qint32 receivedLength = 0;
};

} // namespace kestrel
