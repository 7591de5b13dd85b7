#include "prerequisites/PackageSignature.h"

#include "core/Product.h"

#include <sodium.h>

namespace kestrel::prerequisites {

namespace {

// Only the one canonical spelling of exactly `size` bytes: no blanks, no missing padding and no
// stray bits in the last character, so that one signature has one accepted text.
QByteArray decodeBase64(const QString &text, qsizetype size)
{
    const QByteArray ascii = text.toLatin1();
    const auto decoded = QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != ascii)
        return {};
    return decoded.decoded;
}

QByteArray decodeDigest(const QString &hex)
{
    if (hex.size() != 2 * crypto_hash_sha256_BYTES)
        return {};
    for (const QChar ch : hex) {
        if (!(ch >= QLatin1Char('0') && ch <= QLatin1Char('9')) && !(ch >= QLatin1Char('a') && ch <= QLatin1Char('f')))
            return {};
    }
    return QByteArray::fromHex(hex.toLatin1());
}

} // namespace

QByteArray signedPackageText(const QString &version, const QString &sha256Hex)
{
    return QByteArray(core::kSoftwareId) + '\n' + version.toUtf8() + '\n' + sha256Hex.toUtf8();
}

QByteArray verifiedPackageDigest(const QString &publicKeyBase64, const QString &version,
                                 const QString &sha256Hex, const QString &signatureBase64)
{
    const QByteArray key = decodeBase64(publicKeyBase64, crypto_sign_PUBLICKEYBYTES);
    const QByteArray signature = decodeBase64(signatureBase64, crypto_sign_BYTES);
    const QByteArray digest = decodeDigest(sha256Hex);
    if (key.isEmpty() || signature.isEmpty() || digest.isEmpty() || version.isEmpty() || sodium_init() < 0)
        return {};
    const QByteArray text = signedPackageText(version, sha256Hex);
    const int verdict = crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                                    reinterpret_cast<const unsigned char *>(text.constData()),
                                                    static_cast<unsigned long long>(text.size()),
                                                    reinterpret_cast<const unsigned char *>(key.constData()));
    return verdict == 0 ? digest : QByteArray();
}

} // namespace kestrel::prerequisites
