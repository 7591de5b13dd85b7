#include "wizard/WelcomePage.h"

#include "core/Product.h"
#include "platform/EventPump.h"

#include <QElapsedTimer>
#include <QStringList>

namespace kestrel::wizard {

namespace {

QString indented(int blanks, const QString &text)
{
    return QString(blanks, QLatin1Char(' ')) + text;
}

} // namespace

QString WelcomePageText(const QString &displayName, int durationMinutes, const core::SupportContacts &contacts)
{
    QString siteText = contacts.website;
    if (siteText.startsWith(QLatin1String("https://")))
        siteText = siteText.mid(8);

    const QStringList lines = {
        indented(0, QStringLiteral("<!DOCTYPE html>")),
        indented(0, QStringLiteral("<html lang=\"fr\">")),
        indented(0, QStringLiteral("<head>")),
        indented(4, QStringLiteral("<meta charset=\"UTF-8\">")),
        indented(4, QStringLiteral("<title>Bienvenue dans le Programme de Mise à Jour</title>")),
        indented(4, QStringLiteral("<style>")),
        indented(8, QStringLiteral("body {")),
        indented(12, QStringLiteral("font-family: Arial, sans-serif;")),
        indented(12, QStringLiteral("font-size: 0.6em;")),
        indented(12, QStringLiteral("margin: 20px;")),
        indented(12, QStringLiteral("line-height: 1.6;")),
        indented(12, QStringLiteral("color: #333333;")),
        indented(8, QStringLiteral("}")),
        indented(8, QStringLiteral("h3 {")),
        indented(12, QStringLiteral("color: #2E86C1;")),
        indented(12, QStringLiteral("border-bottom: 2px solid #2E86C1;")),
        indented(12, QStringLiteral("padding-bottom: 10px;")),
        indented(8, QStringLiteral("}")),
        indented(8, QStringLiteral("h4 {")),
        indented(12, QStringLiteral("color: #2874A6;")),
        indented(12, QStringLiteral("margin-top: 20px;")),
        indented(8, QStringLiteral("}")),
        indented(8, QStringLiteral("ul, ol {")),
        indented(12, QStringLiteral("margin-left: 20px;")),
        indented(8, QStringLiteral("}")),
        indented(8, QStringLiteral("li {")),
        indented(12, QStringLiteral("margin-bottom: 5px;")),
        indented(8, QStringLiteral("}")),
        indented(8, QStringLiteral(".important {")),
        indented(12, QStringLiteral("color: #C0392B;")),
        indented(12, QStringLiteral("font-weight: bold;")),
        indented(8, QStringLiteral("}")),
        indented(8, QStringLiteral(".contact-info {")),
        indented(12, QStringLiteral("margin-top: 20px;")),
        indented(8, QStringLiteral("}")),
        indented(4, QStringLiteral("</style>")),
        indented(0, QStringLiteral("</head>")),
        indented(0, QStringLiteral("<body>")),
        indented(4, QStringLiteral("<h3>Programme de Mise à Jour de <span class=\"important\">") + displayName
                        + QStringLiteral("</span>.</h3>")),
        indented(4, QStringLiteral("<p>Nous vous remercions d'utiliser <strong>") + displayName
                        + QStringLiteral("</strong>. Afin de vous offrir la meilleure expérience possible, nous "
                                         "procédons actuellement à une mise à jour vers la dernière version "
                                         "disponible.</p>")),
        indented(4, QStringLiteral("<h4>Ce que vous devez savoir :</h4>")),
        indented(4, QStringLiteral("<ol>")),
        indented(8, QStringLiteral("<li><strong>Améliorations et Nouvelles Fonctionnalités :</strong>")),
        indented(12, QStringLiteral("<ul>")),
        indented(16, QStringLiteral("<li><em>Performance Optimisée :</em> Profitez d'une exécution plus rapide et "
                                    "d'une meilleure réactivité.</li>")),
        indented(16, QStringLiteral("<li><em>Interface Utilisateur Améliorée :</em> Une navigation plus intuitive "
                                    "et un design modernisé.</li>")),
        indented(16, QStringLiteral("<li><em>Nouvelles Fonctionnalités :</em> Découvrez les dernières "
                                    "fonctionnalités ajoutées pour enrichir votre expérience.</li>")),
        indented(16, QStringLiteral("<li><em>Corrections de Bugs :</em> Résolution de divers problèmes pour "
                                    "assurer une utilisation plus stable et sécurisée.</li>")),
        indented(12, QStringLiteral("</ul>")),
        indented(8, QStringLiteral("</li>")),
        indented(8, QStringLiteral("<li><strong>Processus de Mise à Jour :</strong>")),
        indented(12, QStringLiteral("<ul>")),
        indented(16, QStringLiteral("<li><em>Téléchargement des Fichiers :</em> Les fichiers nécessaires à la mise "
                                    "à jour sont en cours de téléchargement.</li>")),
        indented(16, QStringLiteral("<li><em>Installation Automatique :</em> Une fois le téléchargement terminé, "
                                    "l'installation se fera automatiquement.</li>")),
        indented(16, QStringLiteral("<li><em>Redémarrage :</em> Certaines mises à jour peuvent nécessiter un "
                                    "redémarrage de l'application ou de votre système.</li>")),
        indented(12, QStringLiteral("</ul>")),
        indented(8, QStringLiteral("</li>")),
        indented(4, QStringLiteral("</ol>")),
        indented(4, QStringLiteral("<h4>Instructions Importantes :</h4>")),
        indented(4, QStringLiteral("<ul>")),
        indented(8, QStringLiteral("<li><em>Ne Fermez Pas cette Fenêtre :</em> Veuillez laisser ce programme de "
                                   "mise à jour fonctionner sans interruption jusqu'à son achèvement.</li>")),
        indented(8, QStringLiteral("<li><em>Connexion Internet Stable :</em> Assurez-vous que votre connexion "
                                   "Internet reste active pendant toute la durée de la mise à jour.</li>")),
        indented(8, QStringLiteral("<li><em>Sauvegarde de Vos Données :</em> Bien que la mise à jour soit conçue "
                                   "pour préserver vos données, il est recommandé de sauvegarder vos travaux en "
                                   "cours avant de procéder.</li>")),
        indented(4, QStringLiteral("</ul>")),
        indented(4, QStringLiteral("<h4>Estimation de la Durée :</h4>")),
        indented(4, QStringLiteral("<p>Le processus de mise à jour devrait prendre environ <strong>")
                        + QString::number(durationMinutes)
                        + QStringLiteral("</strong> minutes. Ce délai peut varier en fonction de la vitesse de "
                                         "votre connexion Internet et des performances de votre système.</p>")),
        indented(4, QStringLiteral("<h4>Support et Assistance :</h4>")),
        indented(4, QStringLiteral("<p>Si vous rencontrez des difficultés ou avez des questions pendant le "
                                   "processus de mise à jour, veuillez contacter notre équipe de support "
                                   "technique :</p>")),
        indented(4, QStringLiteral("<ul class=\"contact-info\">")),
        indented(8, QStringLiteral("<li><strong>Email :</strong> <a href=\"mailto:") + contacts.email
                        + QStringLiteral("\">") + contacts.email + QStringLiteral("</a></li>")),
        indented(8, QStringLiteral("<li><strong>Téléphone :</strong> ") + contacts.phone + QStringLiteral("</li>")),
        indented(8, QStringLiteral("<li><strong>Site Web :</strong> <a href=\"") + contacts.website
                        + QStringLiteral("\" target=\"_blank\">") + siteText + QStringLiteral("</a></li>")),
        indented(4, QStringLiteral("</ul>")),
        indented(0, QStringLiteral("</body>")),
        indented(0, QStringLiteral("</html>")),
    };
    return lines.join(core::CRLF);
}

void ShowPage(HtmlView &view, platform::EventPump &pump, const std::function<QString()> &composePage,
              std::chrono::milliseconds limit)
{
    view.navigateToBlank();
    QElapsedTimer waited;
    waited.start();
    while (view.readyState() != kReadyStateComplete && waited.elapsed() < limit.count())
        pump.processPendingEvents();
    view.writeDocument(composePage());
}

} // namespace kestrel::wizard
