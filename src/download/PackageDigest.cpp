#include "download/PackageDigest.h"

#include "core/UpdateContext.h"
#include "platform/Https.h"

namespace kestrel::download {

bool isSignedPackageDigest(const platform::UpdateService &service, const core::UpdateContext &context,
                           const QByteArray &digest)
{
    return service.packagePublicKey.isEmpty() || (!context.signedDigest.isEmpty() && digest == context.signedDigest);
}

} // namespace kestrel::download
