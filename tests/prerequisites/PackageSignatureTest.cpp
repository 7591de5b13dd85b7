// Which software records vouch for a package: records signed here with libsodium's signer,
// then altered one way per row.

#include "PackageSignature.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>
#include <ostream>

namespace kestrel::test {
namespace {

struct KeyPair {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    KeyPair() { crypto_sign_keypair(publicKey, secretKey); }
    QString publicBase64() const
    {
        return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(publicKey), sizeof publicKey).toBase64());
    }
    QString sign(const QByteArray &text) const
    {
        QByteArray signature(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(text.constData()), text.size(), secretKey);
        return QString::fromLatin1(signature.toBase64());
    }
};

struct Record {
    QString key, version, sha256, signature;
};

struct Case {
    const char *name;
    std::function<void(Record &, const KeyPair &vendor, const KeyPair &other)> alter;
    bool vouches;
};

void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.name;
}

const QByteArray kPackage = "PK\x03\x04 the package";
const QString kDigest = QString::fromLatin1(QCryptographicHash::hash(kPackage, QCryptographicHash::Sha256).toHex());

QByteArray textFor(const QString &version, const QString &digest)
{
    return "kestrel11\n" + version.toUtf8() + "\n" + digest.toLatin1();
}

class PackageSignatureTest : public ::testing::TestWithParam<Case> {};

TEST_P(PackageSignatureTest, VouchesOnlyForTheSignedVersionAndDigest)
{
    ASSERT_GE(sodium_init(), 0);
    const KeyPair vendor, other;
    Record record{vendor.publicBase64(), QStringLiteral("11.0.27"), kDigest,
                  vendor.sign(textFor(QStringLiteral("11.0.27"), kDigest))};
    GetParam().alter(record, vendor, other);
    const QByteArray digest = verifiedPackageDigest(record.key, record.version, record.sha256, record.signature);
    const QByteArray expected = QCryptographicHash::hash(kPackage, QCryptographicHash::Sha256);
    EXPECT_EQ(digest, GetParam().vouches ? expected : QByteArray());
}

// Each row spoils one thing in the record the vendor signed; v is the vendor's key, o another.
using K = const KeyPair &;
const Case kCases[] = {
    {"SignedByTheVendor", [](Record &, K, K) {}, true},
    {"SignedByAnotherKey", [](Record &r, K, K o) { r.signature = o.sign(textFor(r.version, r.sha256)); }, false},
    {"SignedForAnotherVersion",
     [](Record &r, K v, K) { r.signature = v.sign(textFor(QStringLiteral("11.0.26"), r.sha256)); }, false},
    {"SignedForAnotherPackage", [](Record &r, K, K) { r.sha256[5] = r.sha256[5] == u'0' ? u'1' : u'0'; }, false},
    {"WithoutTheMembers", [](Record &r, K, K) { r.sha256 = r.signature = QString(); }, false},
    {"EmptyVersion", [](Record &r, K v, K) { r.version.clear(); r.signature = v.sign(textFor({}, r.sha256)); }, false},
    {"DigestInUpperCase",
     [](Record &r, K v, K) { r.sha256 = r.sha256.toUpper(); r.signature = v.sign(textFor(r.version, r.sha256)); },
     false},
    {"DigestTooShort", [](Record &r, K v, K) { r.sha256.chop(2); r.signature = v.sign(textFor(r.version, r.sha256)); },
     false},
    {"SignatureNotBase64", [](Record &r, K, K) { r.signature[10] = u'!'; }, false},
    {"SignatureTruncated",
     [](Record &r, K, K) {
         r.signature = QString::fromLatin1(QByteArray::fromBase64(r.signature.toLatin1()).left(63).toBase64());
     },
     false},
    {"SignatureUnpadded", [](Record &r, K, K) { r.signature.chop(2); }, false},
    // The same 64 bytes once decoded, but not the one spelling the vendor's tools write.
    {"SignatureWithStrayBits", [](Record &r, K, K) { r.signature[85] = QChar(r.signature[85].unicode() + 1); }, false},
    {"KeyMalformed", [](Record &r, K, K) { r.key.chop(4); }, false},
};

INSTANTIATE_TEST_SUITE_P(Records, PackageSignatureTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
