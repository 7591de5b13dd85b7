#include "wizard/SingleWizard.h"

#include "core/Paths.h"
#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "os/FileSystem.h"
#include "os/FolderLock.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"

namespace kestrel::wizard {

bool ClaimApplicationFolder(core::StepHost &host, os::FolderLock &lock)
{
    const std::filesystem::path folder = core::toPath(host.context().appFolder);
    const os::FolderLock::Result result = lock.acquire(folder);
    std::error_code ignored;
    // Nothing there, nothing to guard: the first step finds the application missing.
    if (result == os::FolderLock::Result::Acquired
        || (result == os::FolderLock::Result::NoFolder && os::nodeKind(folder, ignored) == os::NodeKind::Missing))
        return true;
    // Without the lock another wizard could work on the folder at the same time: nothing starts.
    const QString text = result == os::FolderLock::Result::HeldElsewhere
        ? QStringLiteral("Une mise à jour de %1 est déjà ouverte pour ce dossier.").arg(core::kDisplayName) + core::CRLF
            + QStringLiteral("Terminez-la ou fermez sa fenêtre avant d'en commencer une autre.")
        : QStringLiteral("Le dossier de %1 ne peut pas être réservé pour la mise à jour : l'assistant n'a pas pu "
                         "l'ouvrir.").arg(core::kDisplayName) + core::CRLF
            + QStringLiteral("Aucun fichier n'a été modifié.");
    host.messageBoxes().show(text + core::SupportContactText(), QStringLiteral("Mise à jour"),
                             platform::BoxIcon::Critical, platform::BoxButtons::Ok);
    host.programEnd().endProgram();
    return false;
}

} // namespace kestrel::wizard
