#pragma once

#include <QString>

namespace kestrel {
class MessageBoxes;
struct UpdateService;
}

// The update service client.
namespace API {

// The string value that follows the quoted key: a case-insensitive text search, not a JSON parser.
QString ExtractJsonValue(const QString &json, const QString &key);

// One synchronous HTTPS GET of the software record; the version, or the empty text.
// A status other than 200 is shown in a box; a transport failure is silent.
QString GetLatestVersion(const QString &softwareId, const kestrel::UpdateService &service,
                         kestrel::MessageBoxes &boxes);

} // namespace API
