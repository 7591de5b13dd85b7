#include "Prerequisites.h"

#include "MessageBoxes.h"
#include "StepHost.h"
#include "SupportContact.h"

namespace kestrel {

bool CheckPrerequisites(StepHost &host)
{
    host.messageBoxes().show(QStringLiteral("Cette étape n'est pas encore disponible.") + SupportContactText(),
                             QStringLiteral("Mise à jour"), BoxIcon::Critical, BoxButtons::Ok);
    return false;
}

} // namespace kestrel
