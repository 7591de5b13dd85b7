#include "PackageFileText.h"

#include <QDir>

namespace kestrel {

namespace {

// The system's reason in French; the portable conditions cover what a user can act upon.
QString systemReason(const std::error_code &error)
{
    struct Reason {
        std::errc condition;
        const char *text;
    };
    static const Reason reasons[] = {
        {std::errc::permission_denied, "accès refusé"},
        {std::errc::operation_not_permitted, "opération non permise"},
        {std::errc::no_space_on_device, "espace disque insuffisant"},
        {std::errc::read_only_file_system, "support en lecture seule"},
        {std::errc::directory_not_empty, "un dossier non vide occupe cet emplacement"},
        {std::errc::is_a_directory, "un dossier occupe cet emplacement"},
        {std::errc::file_exists, "un autre élément occupe cet emplacement"},
        {std::errc::too_many_symbolic_link_levels, "un lien occupe cet emplacement"},
        {std::errc::no_such_file_or_directory, "dossier introuvable"},
        {std::errc::device_or_resource_busy, "élément en cours d'utilisation"},
        {std::errc::io_error, "erreur d'entrée-sortie"},
        {std::errc::filename_too_long, "chemin trop long"},
    };
    for (const Reason &reason : reasons) {
        if (error == reason.condition)
            return QString::fromUtf8(reason.text);
    }
    return QStringLiteral("erreur système %1").arg(error.value());
}

} // namespace

QString describePackageProblem(const platform::PackageFile::Problem &problem, const QString &folder,
                               const QString &packagePath)
{
    using Stage = platform::PackageFile::Stage;
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
        return QStringLiteral("Impossible de créer le dossier « %1 » (%2).").arg(shownFolder, systemReason(problem.error));
    case Stage::Clear:
        return QStringLiteral("Impossible de supprimer l'élément qui occupe l'emplacement « %1.part » (%2).")
            .arg(shownPath, systemReason(problem.error));
    case Stage::Create:
    case Stage::Write:
    case Stage::Rename:
        break;
    }
    return QStringLiteral("Impossible d'enregistrer le fichier « %1 » (%2).").arg(shownPath, systemReason(problem.error));
}

} // namespace kestrel
