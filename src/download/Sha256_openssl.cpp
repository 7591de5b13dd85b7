#include "download/Sha256.h"

#include <openssl/evp.h>

namespace kestrel::download {

struct DigestContext {
    EVP_MD_CTX *evp = nullptr;
};

DigestContext *newDigestContext()
{
    EVP_MD_CTX *evp = EVP_MD_CTX_new();
    return evp ? new DigestContext{evp} : nullptr;
}

void freeDigestContext(DigestContext *context)
{
    if (context)
        EVP_MD_CTX_free(context->evp);
    delete context;
}

bool digestInit(DigestContext *context)
{
    return EVP_DigestInit_ex(context->evp, EVP_sha256(), nullptr) == 1;
}

bool digestUpdate(DigestContext *context, const char *data, std::size_t size)
{
    return EVP_DigestUpdate(context->evp, data, size) == 1;
}

bool digestFinal(DigestContext *context, QByteArray &digest)
{
    digest.resize(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    const bool done = EVP_DigestFinal_ex(context->evp, reinterpret_cast<unsigned char *>(digest.data()), &size) == 1;
    digest.resize(done ? static_cast<qsizetype>(size) : 0);
    return done;
}

} // namespace kestrel::download
