#pragma once

#include "platform/Clock.h"

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QVariant>
#include <QtGlobal>

#include <chrono>

class QNetworkAccessManager;
class QNetworkRequest;
class QUrl;

namespace kestrel::platform {

// How every request to the update service is made.
struct HttpSettings {
    // Empty and not pinned: the system's trust store. Otherwise the only certificates the
    // service may chain to; pinned with none trusts nothing rather than the system's store.
    QList<QSslCertificate> trustedCa{};
    bool pinned = false;
    // A request that receives nothing for this long is abandoned.
    std::chrono::milliseconds inactivityTimeout{30000};
    // A download whose average rate over the last trickleWindow stays below this floor is
    // abandoned too (0: no floor). The inactivity limit alone lets one byte every few seconds
    // hold the wizard forever.
    qint64 trickleFloorBytesPerSecond = 1024;
    std::chrono::milliseconds trickleWindow{60000};
    // The software record query never takes longer than this in all.
    std::chrono::milliseconds recordTimeout{60000};
    // The largest package body accepted; the counters of the download are 32-bit.
    qint64 maxBodyBytes = 0x7fffffff;
    // What the inactivity limit and the slow-rate bound of the download and the record time
    // limit read (Qt's own transfer time-out of the record query reads the system's time).
    Clock *clock = &steadyClock();
};

// The update service as the steps reach it. The network manager is the caller's.
struct UpdateService {
    QNetworkAccessManager *network = nullptr;
    QString baseUrl;
    HttpSettings http;
    // Base64 of the vendor's Ed25519 public key. Empty: any package the service offers is taken;
    // otherwise only one whose record the key's owner signed.
    QString packagePublicKey;
};

// A GET request over HTTP/1.1 with the certificate checks, the trust anchors, the time limit
// and the redirect policy above; no request headers of our own.
QNetworkRequest makeServiceRequest(const QUrl &url, const HttpSettings &settings);

// Where the TLS back-end verifies against the system's store alone (Schannel, on Windows: it
// ignores the certificates a request names), makes every encrypted reply of this manager that
// comes from a chain not ending at one of settings.trustedCa fail before any of it is read.
// Nothing to do elsewhere, nor when trustedCa is empty.
void enforceTrustedCa(QNetworkAccessManager &network, const HttpSettings &settings);

// The reason phrase of a reply's status line (QNetworkRequest::HttpReasonPhraseAttribute) as the
// user reads it: UTF-8 when its bytes are valid UTF-8, Latin-1 otherwise.
QString reasonPhraseText(const QVariant &attribute);

// The build's own settings: the configured base address and trusted certificates.
HttpSettings configuredHttpSettings();
QString configuredServiceBaseUrl();
QString configuredPackagePublicKey();

} // namespace kestrel::platform
