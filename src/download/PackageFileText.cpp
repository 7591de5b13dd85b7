#include "download/PackageFileText.h"

#include "os/SystemError.h"

#include <QDir>

namespace kestrel::download {

QString describePackageProblem(const os::PackageFile::Problem &problem, const QString &folder,
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
