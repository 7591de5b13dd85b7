#pragma once

// The numbers that a download's failure box shows besides Qt's network errors and the HTTP
// statuses, each once, and the French descriptions that go with them.

#include "os/PackageFile.h"

#include <QString>
#include <QtGlobal>

#include <chrono>

namespace kestrel::download {

// The updates folder or the package file could not be made or written.
inline constexpr qint32 kPackageNotStored = -1;
// The body, declared or received, is larger than HttpSettings::maxBodyBytes.
inline constexpr qint32 kBodyTooLarge = -2;
// The memory for a batch of the body could not be obtained.
inline constexpr qint32 kOutOfMemory = -3;
// The average rate stayed below HttpSettings::trickleFloorBytesPerSecond for a whole trickleWindow.
inline constexpr qint32 kTooSlow = -4;
// The package is not the one the vendor signed.
inline constexpr qint32 kPackageNotSigned = -5;
// Qt's own number (QNetworkReply::ProtocolUnknownError) for a URL whose scheme it cannot fetch;
// used for every refused URL.
inline constexpr qint32 kUrlRefused = 301;

QString urlRefusedText(const QString &url);
QString bodyTooLargeText(qint64 limit);
QString stalledText();
QString tooSlowText(qint64 floor, std::chrono::milliseconds window);
QString outOfMemoryText();
QString invalidPackageNameText(const QString &name);
QString packageNotSignedText();
// What went wrong with the updates folder or the package file.
QString packageNotStoredText(const os::PackageFile::Problem &problem, const QString &folder,
                             const QString &packagePath);

} // namespace kestrel::download
