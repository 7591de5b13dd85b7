#include "download/PackageDigest.h"

#include "core/UpdateContext.h"
#include "platform/Https.h"

#include <openssl/evp.h>

namespace kestrel::download {

void PackageDigest::Free::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

// OpenSSL rather than a portable implementation: it uses the processor's SHA instructions,
// several times faster, and the digest runs on the window's thread while a package arrives.
PackageDigest::PackageDigest() : m_context(EVP_MD_CTX_new())
{
    reset();
}

PackageDigest::~PackageDigest() = default;

void PackageDigest::reset()
{
    m_failed = !m_context || EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1;
}

void PackageDigest::addData(const char *data, qint64 size)
{
    if (!m_failed && size > 0)
        m_failed = EVP_DigestUpdate(m_context.get(), data, static_cast<size_t>(size)) != 1;
}

QByteArray PackageDigest::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    const bool done = !m_failed
        && EVP_DigestFinal_ex(m_context.get(), reinterpret_cast<unsigned char *>(digest.data()), &size) == 1;
    reset();
    return done ? digest.left(size) : QByteArray();
}

bool isSignedPackageDigest(const platform::UpdateService &service, const core::UpdateContext &context,
                           const QByteArray &digest)
{
    return service.packagePublicKey.isEmpty() || (!context.signedDigest.isEmpty() && digest == context.signedDigest);
}

} // namespace kestrel::download
