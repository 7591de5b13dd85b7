#include "DownloadStep.h"

#include "MessageBoxes.h"
#include "StepHost.h"
#include "SupportContact.h"

namespace kestrel {

bool StartDownload(StepHost &host, NetGrab &)
{
    host.messageBoxes().show(QStringLiteral("Cette étape n'est pas encore disponible.") + SupportContactText(),
                             QStringLiteral("Téléchargement de la mise à jour"), BoxIcon::Critical, BoxButtons::Ok);
    host.enableActionButton();
    return false;
}

void onDownloadProgress(StepHost &, float) {}
void onDownloadComplete(StepHost &, const NetGrab &) {}
void onDownloadFailed(StepHost &, qint32, const QString &) {}

} // namespace kestrel
