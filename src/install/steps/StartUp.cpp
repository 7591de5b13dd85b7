#include "install/steps/StartUp.h"

#include "core/Paths.h"
#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "install/Recovery.h"
#include "platform/MessageBoxes.h"

#include <filesystem>

namespace kestrel::install::steps {

namespace {

const QString kInstallTitle = QStringLiteral("Installation de la mise à jour");

void showBox(core::StepHost &host, const QString &text, const QString &title, platform::BoxIcon icon)
{
    host.messageBoxes().show(text + core::SupportContactText(), title, icon, platform::BoxButtons::Ok);
}

} // namespace

void SettleInterruptedInstall(core::StepHost &host)
{
    const install::RecoveryResult recovery =
        install::recoverInterruptedInstall(core::toPath(host.context().updatesFolder));
    switch (recovery.outcome) {
    case install::RecoveryOutcome::Nothing:
        break;
    case install::RecoveryOutcome::RolledBack:
        showBox(host,
                QStringLiteral("L'installation précédente de la mise à jour a été interrompue avant sa fin.") + core::CRLF
                    + (recovery.vanished.empty()
                           ? QString()
                           : QStringLiteral("Le nouveau fichier « %1 » avait disparu (un antivirus l'a peut-être mis "
                                            "en quarantaine).")
                                     .arg(QString::fromStdString(recovery.vanished))
                               + core::CRLF)
                    + QStringLiteral("Les fichiers d'origine ont été remis en place : %1 est resté dans sa "
                                     "version précédente.").arg(core::kDisplayName),
                kInstallTitle, platform::BoxIcon::Information);
        break;
    case install::RecoveryOutcome::Completed:
        showBox(host,
                QStringLiteral("L'installation précédente de la mise à jour a été interrompue alors que tous les "
                               "nouveaux fichiers étaient déjà en place.")
                    + core::CRLF + QStringLiteral("Elle a été terminée : %1 est dans sa nouvelle version.").arg(core::kDisplayName),
                kInstallTitle, platform::BoxIcon::Information);
        break;
    case install::RecoveryOutcome::Failed:
        showBox(host,
                QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : ") + core::CRLF
                    + QString::fromStdString(recovery.description),
                kInstallTitle, platform::BoxIcon::Critical);
        break;
    }
}

} // namespace kestrel::install::steps
