#include "download/PackageDigest.h"

#include <openssl/evp.h>

namespace kestrel::download {

struct DigestContext {
    EVP_MD_CTX *evp = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(evp); }
};

void PackageDigest::Free::operator()(DigestContext *context) const
{
    delete context;
}

// OpenSSL rather than a portable implementation: it uses the processor's SHA instructions,
// several times faster, and the digest runs on the window's thread while a package arrives.
PackageDigest::PackageDigest() : m_context(new DigestContext)
{
    reset();
}

PackageDigest::~PackageDigest() = default;

void PackageDigest::reset()
{
    m_failed = !m_context->evp || EVP_DigestInit_ex(m_context->evp, EVP_sha256(), nullptr) != 1;
}

void PackageDigest::addData(const char *data, qint64 size)
{
    if (!m_failed && size > 0)
        m_failed = EVP_DigestUpdate(m_context->evp, data, static_cast<size_t>(size)) != 1;
}

QByteArray PackageDigest::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    const bool done = !m_failed
        && EVP_DigestFinal_ex(m_context->evp, reinterpret_cast<unsigned char *>(digest.data()), &size) == 1;
    reset();
    return done ? digest.left(size) : QByteArray();
}

} // namespace kestrel::download
