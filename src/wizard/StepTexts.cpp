#include "wizard/StepTexts.h"

#include "core/Product.h"

namespace kestrel::wizard {

const std::array<StepTexts, 5> &stepTexts()
{
    static const std::array<StepTexts, 5> table{{
        {QStringLiteral("Vérification des prérequis"), QStringLiteral("Vérification des prérequis en cours..."),
         QStringLiteral("Vérification des prérequis en cours terminée."), QStringLiteral("Télécharger")},
        {QStringLiteral("Téléchargement des fichiers"),
         QStringLiteral("Téléchargement des fichiers de mise à jour..."),
         QStringLiteral("Téléchargement des fichiers de mise à jour terminée."), QStringLiteral("Installer")},
        {QStringLiteral("Installation de la mise à jour"),
         QStringLiteral("Installation de la mise à jour...") + core::CRLF
             + QStringLiteral("Veuillez patienter pendant que les nouveaux fichiers sont installés."),
         QStringLiteral("Installation de la mise à jour terminée."), QStringLiteral("Nettoyer")},
        {QStringLiteral("Suppression des fichiers temporaires"),
         QStringLiteral("Suppression des fichiers temporaires de mise à jour en cours..."), QString(),
         finishCaption()},
        {QStringLiteral("Mise à jour terminée"), QString(), QString(), QString()},
    }};
    return table;
}

QString startCaption()
{
    return QStringLiteral("Commencer");
}

QString finishCaption()
{
    return QStringLiteral("Terminer");
}

QString succeededText()
{
    return QStringLiteral("Mise à jour terminée avec succès") + QChar(0x00A0) + QLatin1Char('!');
}

QString closingStatusText(const QString &displayName, const QString &version)
{
    return succeededText() + core::CRLF + QStringLiteral("Vous utilisez maintenant la version ") + version
        + QStringLiteral(" de ") + displayName + QStringLiteral(".") + core::CRLF
        + QStringLiteral("Cliquez sur \"Terminer\" pour fermer le programme de mise à jour.");
}

} // namespace kestrel::wizard
