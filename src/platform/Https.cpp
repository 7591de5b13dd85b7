#include "Https.h"

#include "KestrelConfig.h"

#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

namespace kestrel {

QNetworkRequest makeServiceRequest(const QUrl &url, const HttpSettings &settings)
{
    QNetworkRequest request(url);
    // Never follow a redirect from HTTPS down to HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(settings.inactivityTimeout.count()));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!settings.trustedCa.isEmpty())
        ssl.setCaCertificates(settings.trustedCa);
    request.setSslConfiguration(ssl);
    return request;
}

HttpSettings configuredHttpSettings()
{
    HttpSettings settings;
    // Parsing certificates loads the TLS back-end: not at start-up when there is nothing to parse.
    if (config::kTrustedCaPem[0] != '\0')
        settings.trustedCa = QSslCertificate::fromData(QByteArray(config::kTrustedCaPem), QSsl::Pem);
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

} // namespace kestrel
