#include "PackageDigest.h"

#include "Https.h"
#include "UpdateContext.h"

namespace kestrel {

QString unsignedPackageProblem(const UpdateService &service, const UpdateContext &context, const QByteArray &digest)
{
    if (service.packagePublicKey.isEmpty() || (!context.signedDigest.isEmpty() && digest == context.signedDigest))
        return {};
    return QStringLiteral("Le paquet reçu ne correspond pas à la mise à jour signée par l'éditeur ; "
                          "il n'a pas été enregistré.");
}

} // namespace kestrel
