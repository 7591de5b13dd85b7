#include "StartUp.h"

#include "FolderLock.h"
#include "MessageBoxes.h"
#include "PackageInstaller.h"
#include "ProgramEnd.h"
#include "Product.h"
#include "StepHost.h"
#include "SupportContact.h"

#include <filesystem>

namespace kestrel {

namespace {

const QString kInstallTitle = QStringLiteral("Installation de la mise à jour");

std::filesystem::path toPath(const QString &text)
{
    return std::filesystem::path(text.toStdU16String());
}

void showBox(StepHost &host, const QString &text, const QString &title, BoxIcon icon)
{
    host.messageBoxes().show(text + SupportContactText(), title, icon, BoxButtons::Ok);
}

} // namespace

bool SettleStartUp(StepHost &host, platform::FolderLock &lock)
{
    switch (lock.acquire(toPath(host.context().appFolder))) {
    case platform::FolderLock::Result::Acquired:
        break;
    case platform::FolderLock::Result::HeldElsewhere:
        showBox(host,
                QStringLiteral("Une mise à jour de Kestrel 11 est déjà ouverte pour ce dossier.") + CRLF
                    + QStringLiteral("Terminez-la ou fermez sa fenêtre avant d'en commencer une autre."),
                QStringLiteral("Mise à jour"), BoxIcon::Information);
        host.programEnd().endProgram();
        return false;
    // Without the lock another wizard could work on the folder at the same time: nothing is touched.
    case platform::FolderLock::Result::NoFolder:
        showBox(host,
                QStringLiteral("Le dossier de Kestrel 11 ne peut pas être réservé pour la mise à jour : "
                               "l'assistant n'a pas pu l'ouvrir.")
                    + CRLF + QStringLiteral("Aucun fichier n'a été modifié."),
                QStringLiteral("Mise à jour"), BoxIcon::Critical);
        host.programEnd().endProgram();
        return false;
    }
    const install::RecoveryResult recovery =
        install::recoverInterruptedInstall(toPath(host.context().updatesFolder));
    switch (recovery.outcome) {
    case install::RecoveryOutcome::Nothing:
        break;
    case install::RecoveryOutcome::RolledBack:
        showBox(host,
                QStringLiteral("L'installation précédente de la mise à jour a été interrompue avant sa fin.") + CRLF
                    + (recovery.vanished.empty()
                           ? QString()
                           : QStringLiteral("Le nouveau fichier « %1 » avait disparu (un antivirus l'a peut-être mis "
                                            "en quarantaine).")
                                     .arg(QString::fromStdString(recovery.vanished))
                               + CRLF)
                    + QStringLiteral("Les fichiers d'origine ont été remis en place : Kestrel 11 est resté dans sa "
                                     "version précédente."),
                kInstallTitle, BoxIcon::Information);
        break;
    case install::RecoveryOutcome::Completed:
        showBox(host,
                QStringLiteral("L'installation précédente de la mise à jour a été interrompue alors que tous les "
                               "nouveaux fichiers étaient déjà en place.")
                    + CRLF + QStringLiteral("Elle a été terminée : Kestrel 11 est dans sa nouvelle version."),
                kInstallTitle, BoxIcon::Information);
        break;
    case install::RecoveryOutcome::Failed:
        showBox(host,
                QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : ") + CRLF
                    + QString::fromStdString(recovery.description),
                kInstallTitle, BoxIcon::Critical);
        break;
    }
    return true;
}

} // namespace kestrel
