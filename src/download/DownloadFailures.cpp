#include "download/DownloadFailures.h"

#include "os/SystemError.h"

#include <QDir>
#include <QLocale>

namespace kestrel::download {

QString urlRefusedText(const QString &url)
{
    return QStringLiteral("Adresse de téléchargement non prise en charge : « %1 ».").arg(url);
}

QString bodyTooLargeText(qint64 limit)
{
    return QStringLiteral("La mise à jour dépasse la taille maximale acceptée (%1 octets).").arg(limit);
}

QString stalledText()
{
    return QStringLiteral("Délai d'attente dépassé : le serveur de mise à jour n'envoie plus de données.");
}

QString tooSlowText(qint64 floor, std::chrono::milliseconds window)
{
    return QStringLiteral("Téléchargement trop lent : le serveur de mise à jour a envoyé moins de %1 octets par "
                          "seconde en moyenne pendant %2 s.")
        .arg(floor)
        .arg(QLocale(QLocale::French).toString(static_cast<double>(window.count()) / 1000.0, 'g', 4));
}

QString outOfMemoryText()
{
    return QStringLiteral("Mémoire insuffisante pour recevoir la mise à jour.");
}

QString invalidPackageNameText(const QString &name)
{
    return QStringLiteral("Nom de paquet non valide : « %1 ».").arg(name);
}

QString packageNotSignedText()
{
    return QStringLiteral("Le paquet reçu ne correspond pas à la mise à jour signée par l'éditeur ; "
                          "il n'a pas été enregistré.");
}

QString packageNotStoredText(const os::PackageFile::Problem &problem, const QString &folder,
                             const QString &packagePath)
{
    using Stage = os::PackageFile::Stage;
    const QString shownFolder = QDir::toNativeSeparators(folder);
    const QString shownPath = QDir::toNativeSeparators(packagePath);
    switch (problem.stage) {
    case Stage::None:
        return {};
    case Stage::FolderIsLink:
        return QStringLiteral("Le dossier des mises à jour « %1 » est un lien vers un autre emplacement : "
                              "la mise à jour n'y est pas enregistrée. Supprimez ce lien puis recommencez.")
            .arg(shownFolder);
    case Stage::FolderNotFolder:
    case Stage::Folder:
        return QStringLiteral("Impossible de créer le dossier « %1 » (%2).").arg(shownFolder, QString::fromStdString(os::frenchSystemError(problem.error)));
    case Stage::Clear:
        return QStringLiteral("Impossible de supprimer l'élément qui occupe l'emplacement « %1.part » (%2).")
            .arg(shownPath, QString::fromStdString(os::frenchSystemError(problem.error)));
    case Stage::Create:
    case Stage::Write:
    case Stage::Rename:
        break;
    }
    return QStringLiteral("Impossible d'enregistrer le fichier « %1 » (%2).").arg(shownPath, QString::fromStdString(os::frenchSystemError(problem.error)));
}

} // namespace kestrel::download
