#pragma once

#include <QLatin1StringView>
#include <QString>

namespace kestrel::core {

// The application this wizard updates.
inline const QString kDisplayName = QStringLiteral("Kestrel 11");
inline const QString kExeName = QStringLiteral("kestrel11.exe");
inline const QString kSoftwareId = QStringLiteral("kestrel11");

inline const QString CRLF = QStringLiteral("\r\n");

} // namespace kestrel::core
