#include "wizard/SingleWizard.h"

#include "core/Paths.h"
#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "os/FolderLock.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"

namespace kestrel::wizard {

bool ClaimApplicationFolder(core::StepHost &host, os::FolderLock &lock)
{
    if (lock.acquire(core::toPath(host.context().appFolder)) != os::FolderLock::Result::HeldElsewhere)
        return true;
    host.messageBoxes().show(
        QStringLiteral("Une mise à jour de %1 est déjà ouverte pour ce dossier.").arg(core::kDisplayName) + core::CRLF
            + QStringLiteral("Terminez-la ou fermez sa fenêtre avant d'en commencer une autre.")
            + core::SupportContactText(),
        QStringLiteral("Mise à jour"), platform::BoxIcon::Critical, platform::BoxButtons::Ok);
    host.programEnd().endProgram();
    return false;
}

} // namespace kestrel::wizard
