#pragma once

// SHA-256 from the system's library: OpenSSL's libcrypto (Sha256_openssl.cpp), or CNG on
// Windows (Sha256_win.cpp). Both use the processor's SHA instructions, several times faster than
// a portable implementation.

#include <QByteArray>

#include <cstddef>

namespace kestrel::download {

struct DigestContext;

DigestContext *newDigestContext(); // null when the library cannot hash
void freeDigestContext(DigestContext *context);
bool digestInit(DigestContext *context);
bool digestUpdate(DigestContext *context, const char *data, std::size_t size);
// The 32 bytes of the digest.
bool digestFinal(DigestContext *context, QByteArray &digest);

} // namespace kestrel::download
