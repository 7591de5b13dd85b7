#pragma once

#include <QByteArray>
#include <QString>

namespace kestrel::prerequisites {

// What the vendor signs for one package: the software identifier, the version and the package's
// SHA-256 in lower-case hex, each on its own line (LF, none after the last). Binding all three
// keeps a signed package of another product or version from standing in for this one.
QByteArray signedPackageText(const QString &version, const QString &sha256Hex);

// The package's SHA-256 (32 bytes) that a software record vouches for: its digest, when its
// signature is the Ed25519 signature of signedPackageText(version, sha256Hex) by the key.
// Empty otherwise, and also for any key, digest or signature not written in its exact form
// (base64 of 32 or 64 bytes with its padding, 64 lower-case hex digits).
QByteArray verifiedPackageDigest(const QString &publicKeyBase64, const QString &version,
                                 const QString &sha256Hex, const QString &signatureBase64);

} // namespace kestrel::prerequisites
