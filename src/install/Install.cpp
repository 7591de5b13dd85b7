#include "Install.h"

#include "MessageBoxes.h"
#include "StepHost.h"
#include "SupportContact.h"

namespace kestrel {

bool StartInstall(StepHost &host)
{
    return InstallPackage(host, host.context().packagePath, host.context().appFolder);
}

bool InstallPackage(StepHost &host, QString, QString)
{
    host.messageBoxes().show(QStringLiteral("Cette étape n'est pas encore disponible.") + SupportContactText(),
                             QStringLiteral("Installation de la mise à jour"), BoxIcon::Critical, BoxButtons::Ok);
    return false;
}

} // namespace kestrel
