#include "download/Sha256.h"

#include <windows.h>
#include <bcrypt.h>

namespace kestrel::download {

// CNG, the system's own: Update.exe ships no OpenSSL (its TLS is the system's too).
struct DigestContext {
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

// One provider for the whole process, never closed.
BCRYPT_ALG_HANDLE sha256Provider()
{
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ? opened
                                                                                                      : nullptr;
    }();
    return provider;
}

void destroy(DigestContext *context)
{
    if (context->hash)
        BCryptDestroyHash(context->hash);
    context->hash = nullptr;
}

} // namespace

DigestContext *newDigestContext()
{
    return sha256Provider() ? new DigestContext : nullptr;
}

void freeDigestContext(DigestContext *context)
{
    if (context)
        destroy(context);
    delete context;
}

bool digestInit(DigestContext *context)
{
    destroy(context);
    return BCRYPT_SUCCESS(BCryptCreateHash(sha256Provider(), &context->hash, nullptr, 0, nullptr, 0, 0));
}

bool digestUpdate(DigestContext *context, const char *data, std::size_t size)
{
    // One call takes at most 4 GiB; the digest reads far smaller pieces.
    return context->hash
        && BCRYPT_SUCCESS(BCryptHashData(context->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(data)),
                                         static_cast<ULONG>(size), 0));
}

bool digestFinal(DigestContext *context, QByteArray &digest)
{
    digest.resize(32);
    const bool done = context->hash
        && BCRYPT_SUCCESS(BCryptFinishHash(context->hash, reinterpret_cast<PUCHAR>(digest.data()), 32, 0));
    destroy(context);
    if (!done)
        digest.clear();
    return done;
}

} // namespace kestrel::download
