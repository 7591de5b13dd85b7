#include "API.h"

namespace API {

QString ExtractJsonValue(const QString &, const QString &)
{
    return {};
}

QString GetLatestVersion(const QString &, const kestrel::UpdateService &, kestrel::MessageBoxes &)
{
    return {};
}

} // namespace API
