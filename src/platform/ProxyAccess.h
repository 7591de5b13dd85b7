#pragma once

#include <QNetworkReply>
#include <QString>

class QNetworkAccessManager;
class QObject;

namespace kestrel::platform {

// Asks the user for the user name and password that a proxy server wants. Never stored.
class ProxyCredentials {
public:
    virtual ~ProxyCredentials() = default;
    // False when the user cancels. proxy names the server ("host:port").
    virtual bool ask(const QString &proxy, QString &user, QString &password) = 0;
};

// network's requests go through the proxy the system names for their address: on Windows the
// user's Internet settings (automatic configuration script included), elsewhere the desktop's
// settings or https_proxy / HTTPS_PROXY and no_proxy. Unlike Qt's default, local addresses too,
// as curl does, unless no_proxy names them.
void useSystemProxy(QNetworkAccessManager &network);

// Answers network's proxy challenges, for as long as context lives: first with the user's own
// logon where the proxy accepts it (NTLM, Negotiate), otherwise through credentials, once per
// challenge: credentials the proxy refuses fail the request, as a cancelled dialog does.
void answerProxyChallenges(QNetworkAccessManager &network, ProxyCredentials &credentials, QObject *context);

// A French description of a failed reply's proxy, naming it, when the failure lies there (the
// proxy unreachable, refusing the request or the credentials); otherwise empty.
QString proxyFailureText(const QNetworkReply &reply);

} // namespace kestrel::platform
