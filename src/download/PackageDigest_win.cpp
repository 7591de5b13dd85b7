#include "download/PackageDigest.h"

#include <windows.h>
#include <bcrypt.h>

namespace kestrel::download {

// CNG, the system's own: it uses the processor's SHA instructions, and Update.exe ships no
// OpenSSL (its TLS is the system's too).
struct DigestContext {
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~DigestContext()
    {
        if (hash)
            BCryptDestroyHash(hash);
    }
};

void PackageDigest::Free::operator()(DigestContext *context) const
{
    delete context;
}

PackageDigest::PackageDigest() : m_context(new DigestContext)
{
    reset();
}

PackageDigest::~PackageDigest() = default;

void PackageDigest::reset()
{
    if (m_context->hash) {
        BCryptDestroyHash(m_context->hash);
        m_context->hash = nullptr;
    }
    // One provider for the whole process, never closed.
    static const BCRYPT_ALG_HANDLE sha256 = [] {
        BCRYPT_ALG_HANDLE provider = nullptr;
        return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))
            ? provider
            : nullptr;
    }();
    m_failed = !sha256 || !BCRYPT_SUCCESS(BCryptCreateHash(sha256, &m_context->hash, nullptr, 0, nullptr, 0, 0));
}

void PackageDigest::addData(const char *data, qint64 size)
{
    // BCryptHashData takes at most 4 GiB at a time; a body never comes in such pieces.
    if (!m_failed && size > 0)
        m_failed = !BCRYPT_SUCCESS(BCryptHashData(m_context->hash,
                                                  reinterpret_cast<PUCHAR>(const_cast<char *>(data)),
                                                  static_cast<ULONG>(size), 0));
}

QByteArray PackageDigest::result()
{
    QByteArray digest(32, Qt::Uninitialized);
    const bool done = !m_failed
        && BCRYPT_SUCCESS(BCryptFinishHash(m_context->hash, reinterpret_cast<PUCHAR>(digest.data()),
                                           static_cast<ULONG>(digest.size()), 0));
    reset();
    return done ? digest : QByteArray();
}

} // namespace kestrel::download
