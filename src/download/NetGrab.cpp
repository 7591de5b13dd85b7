#include "NetGrab.h"

namespace kestrel {

NetGrab::NetGrab(QNetworkAccessManager &network, HttpSettings settings, QObject *parent)
    : QObject(parent), m_network(network), m_settings(std::move(settings))
{
}

void NetGrab::DownloadStart(const QString &)
{
    emit DownloadFailed(-1, QStringLiteral("Téléchargement non disponible."));
}

} // namespace kestrel
