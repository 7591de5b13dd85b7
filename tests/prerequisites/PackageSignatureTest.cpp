// Which software records vouch for a package: records signed here with libsodium's signer, then spoiled one way per row.

#include "prerequisites/PackageSignature.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>
#include <sodium.h>

namespace kestrel::test {
namespace {

struct Record {
    QString version, sha256, signature;
};

struct KeyPair {
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    KeyPair() { crypto_sign_keypair(pk, sk); }
    QString sign(const QString &version, const QString &sha256) const
    {
        const QByteArray text = "kestrel11\n" + version.toUtf8() + "\n" + sha256.toLatin1();
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char *>(text.data()), text.size(), sk);
        return QString::fromLatin1(QByteArray(reinterpret_cast<char *>(signature), sizeof signature).toBase64());
    }
};

// v is the vendor's key, o another one.
using K = const KeyPair &;
struct Case {
    const char *name;
    std::function<void(Record &, K v, K o)> spoil;
};

class PackageSignatureTest : public ::testing::TestWithParam<Case> {};

TEST_P(PackageSignatureTest, VouchesOnlyForTheVersionAndDigestTheVendorSigned)
{
    ASSERT_GE(sodium_init(), 0);
    const KeyPair vendor, other;
    const QByteArray digest = QCryptographicHash::hash("PK\x03\x04 package", QCryptographicHash::Sha256);
    Record r{QStringLiteral("11.0.27"), QString::fromLatin1(digest.toHex()), {}};
    r.signature = vendor.sign(r.version, r.sha256);
    const QString key = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(vendor.pk), 32).toBase64());
    EXPECT_EQ(prerequisites::verifiedPackageDigest(key, r.version, r.sha256, r.signature), digest);
    GetParam().spoil(r, vendor, other);
    EXPECT_EQ(prerequisites::verifiedPackageDigest(key, r.version, r.sha256, r.signature), QByteArray());
}

INSTANTIATE_TEST_SUITE_P(
    Records, PackageSignatureTest,
    ::testing::Values(
        Case{"SignedByAnotherKey", [](Record &r, K, K o) { r.signature = o.sign(r.version, r.sha256); }},
        Case{"SignedForAnotherVersion", [](Record &r, K v, K) { r.signature = v.sign(QStringLiteral("11.0.26"), r.sha256); }},
        Case{"SignedForAnotherPackage", [](Record &r, K, K) { r.sha256[5] = r.sha256[5] == u'0' ? u'1' : u'0'; }},
        Case{"DigestInUpperCase", [](Record &r, K v, K) { r.signature = v.sign(r.version, r.sha256 = r.sha256.toUpper()); }},
        Case{"SignatureNotBase64", [](Record &r, K, K) { r.signature[10] = u'!'; }},
        Case{"SignatureUnpadded", [](Record &r, K, K) { r.signature.chop(2); }},
        // The same 64 bytes once decoded, but not the one spelling the vendor's tools write.
        Case{"SignatureWithStrayBits", [](Record &r, K, K) { r.signature[85] = QChar(r.signature[85].unicode() + 1); }}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
