#include "platform/Https.h"

#include "platform/KestrelConfig.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringDecoder>
#include <QUrl>

namespace kestrel::platform {

QNetworkRequest makeServiceRequest(const QUrl &url, const HttpSettings &settings)
{
    QNetworkRequest request(url);
    // HTTP/2 replies carry no reason phrase, and the boxes show the server's own.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    // Never follow a redirect from HTTPS down to HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(settings.inactivityTimeout.count()));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (settings.pinned || !settings.trustedCa.isEmpty())
        ssl.setCaCertificates(settings.trustedCa);
    request.setSslConfiguration(ssl);
    return request;
}

void enforceTrustedCa(QNetworkAccessManager &network, const HttpSettings &settings)
{
    if (settings.trustedCa.isEmpty() || QSslSocket::activeBackend() != QLatin1String("schannel"))
        return;
    // Schannel's chain is the one it built, up to the root it found in the system's store.
    QObject::connect(&network, &QNetworkAccessManager::encrypted, &network,
                     [trusted = settings.trustedCa](QNetworkReply *reply) {
                         const QList<QSslCertificate> chain = reply->sslConfiguration().peerCertificateChain();
                         if (chain.isEmpty() || !trusted.contains(chain.last()))
                             reply->abort();
                     });
}

QString reasonPhraseText(const QVariant &attribute)
{
    // Qt hands the phrase over as text read as Latin-1: its bytes come back unchanged.
    const QByteArray bytes = attribute.typeId() == QMetaType::QString ? attribute.toString().toLatin1()
                                                                      : attribute.toByteArray();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

HttpSettings configuredHttpSettings()
{
    HttpSettings settings;
    // Parsing certificates loads the TLS back-end: not at start-up when there is nothing to parse.
    if (config::kTrustedCaPem[0] != '\0') {
        settings.trustedCa = QSslCertificate::fromData(QByteArray(config::kTrustedCaPem), QSsl::Pem);
        settings.pinned = true;
    }
    return settings;
}

QString configuredServiceBaseUrl()
{
    return QString::fromUtf8(config::kUpdateServiceBaseUrl);
}

QString configuredPackagePublicKey()
{
    return QString::fromLatin1(config::kPackagePublicKey);
}

} // namespace kestrel::platform
