#pragma once

#include <QString>

namespace kestrel::platform {
class MessageBoxes;
struct UpdateService;
}

// The update service client.
namespace kestrel::prerequisites::API {

// The string value that follows the quoted key: a case-insensitive text search, not a JSON parser.
QString ExtractJsonValue(const QString &json, const QString &key);

// The record members a vendor's signature adds: the package's digest and the signature.
struct RecordSignature {
    QString sha256;
    QString signature;
};

// One synchronous HTTPS GET of the software record; the version, or the empty text.
// A status other than 200 is shown in a box; a transport failure is silent.
// When signature is given, it receives the record's signature members (empty when absent);
// when proxyProblem is given, it receives what a proxy in the way did, in French (else empty).
QString GetLatestVersion(const QString &softwareId, const platform::UpdateService &service,
                         platform::MessageBoxes &boxes, RecordSignature *signature = nullptr,
                         QString *proxyProblem = nullptr);

} // namespace kestrel::prerequisites::API
