#include "platform/ProxyAccess.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QOperatingSystemVersion>

#include <memory>
#include <utility>

namespace kestrel::platform {

namespace {

QString proxyName(const QNetworkProxy &proxy)
{
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

// Set on the network manager while credentials the user gave await the proxy's verdict.
constexpr char kCredentialsPending[] = "kestrelProxyCredentialsPending";

class SystemProxyFactory final : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override { return systemProxyForQuery(query); }
};

} // namespace

void useSystemProxy(QNetworkAccessManager &network)
{
    network.setProxyFactory(new SystemProxyFactory); // the manager owns it
}

void answerProxyChallenges(QNetworkAccessManager &network, ProxyCredentials &credentials, QObject *context)
{
    // Whether the user's answer to the last challenge awaits the proxy's verdict: a challenge or
    // a failure of the same exchange then means the proxy refused it.
    auto answered = std::make_shared<bool>(false);
    QObject::connect(&network, &QNetworkAccessManager::finished, context, [&network, answered](QNetworkReply *reply) {
        if (reply->error() == QNetworkReply::NoError)
            network.setProperty(kCredentialsPending, *answered = false);
    });
    QObject::connect(&network, &QNetworkAccessManager::proxyAuthenticationRequired, context,
                     [&network, &credentials, answered](const QNetworkProxy &proxy, QAuthenticator *authenticator) {
                         if (std::exchange(*answered, false))
                             return; // left empty: the request fails
                         // NTLM and Negotiate name no realm; left empty the first time, Qt answers
                         // them with the user's own Windows logon.
                         static bool logonTried = false;
                         if (authenticator->realm().isEmpty() && !std::exchange(logonTried, true)
                             && QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
                             return;
                         QString user;
                         QString password;
                         if (!credentials.ask(proxyName(proxy), user, password))
                             return;
                         authenticator->setUser(user);
                         authenticator->setPassword(password);
                         network.setProperty(kCredentialsPending, *answered = true);
                     });
}

QString proxyFailureText(const QNetworkReply &reply)
{
    const QNetworkProxy proxy = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(reply.request().url())).value(0);
    const QNetworkReply::NetworkError error = reply.error();
    const bool proxyFailure = error == QNetworkReply::UnknownNetworkError
        || (error >= QNetworkReply::ProxyConnectionRefusedError && error <= QNetworkReply::UnknownProxyError);
    if (proxy.type() != QNetworkProxy::HttpProxy || !proxyFailure
        || reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return {};
    const QNetworkAccessManager *network = reply.manager();
    if (error == QNetworkReply::ProxyAuthenticationRequiredError
        || (network && network->property(kCredentialsPending).toBool()))
        return QStringLiteral("Le serveur mandataire (proxy) « %1 » a refusé l'accès : l'identification a été "
                              "refusée ou n'a pas été donnée.")
            .arg(proxyName(proxy));
    return QStringLiteral("Le serveur mandataire (proxy) « %1 » est injoignable ou n'a pas transmis la demande "
                          "(%2).")
        .arg(proxyName(proxy), reply.errorString());
}

} // namespace kestrel::platform
