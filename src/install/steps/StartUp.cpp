#include "install/steps/StartUp.h"

#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "install/Recovery.h"
#include "os/FolderLock.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"

#include <filesystem>

namespace kestrel::install::steps {

namespace {

const QString kInstallTitle = QStringLiteral("Installation de la mise à jour");

std::filesystem::path toPath(const QString &text)
{
    return std::filesystem::path(text.toStdU16String());
}

void showBox(core::StepHost &host, const QString &text, const QString &title, platform::BoxIcon icon)
{
    host.messageBoxes().show(text + core::SupportContactText(), title, icon, platform::BoxButtons::Ok);
}

} // namespace

bool SettleStartUp(core::StepHost &host, os::FolderLock &lock)
{
    if (lock.acquire(toPath(host.context().appFolder)) == os::FolderLock::Result::HeldElsewhere) {
        showBox(host,
                QStringLiteral("Une mise à jour de Kestrel 11 est déjà ouverte pour ce dossier.") + core::CRLF
                    + QStringLiteral("Terminez-la ou fermez sa fenêtre avant d'en commencer une autre."),
                QStringLiteral("Mise à jour"), platform::BoxIcon::Information);
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
                QStringLiteral("L'installation précédente de la mise à jour a été interrompue avant sa fin.") + core::CRLF
                    + QStringLiteral("Les fichiers d'origine ont été remis en place : Kestrel 11 est resté dans sa "
                                     "version précédente."),
                kInstallTitle, platform::BoxIcon::Information);
        break;
    case install::RecoveryOutcome::Completed:
        showBox(host,
                QStringLiteral("L'installation précédente de la mise à jour a été interrompue alors que tous les "
                               "nouveaux fichiers étaient déjà en place.")
                    + core::CRLF + QStringLiteral("Elle a été terminée : Kestrel 11 est dans sa nouvelle version."),
                kInstallTitle, platform::BoxIcon::Information);
        break;
    case install::RecoveryOutcome::Failed:
        showBox(host,
                QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : ") + core::CRLF
                    + QString::fromStdString(recovery.description),
                kInstallTitle, platform::BoxIcon::Critical);
        break;
    }
    return true;
}

} // namespace kestrel::install::steps
