#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace kestrel::core {

// The main window's fields through which the steps hand their results to each other.
// Folder paths end in exactly one native separator.
struct UpdateContext {
    QString appFolder;
    QString updatesFolder;
    QString latestVersion;
    QString packageFileName;
    QString packagePath;
    // The package's SHA-256 that the vendor signed, set by step 1 when a public key is built in.
    QByteArray signedDigest;
    qint32 currentStep = 0;
};

} // namespace kestrel::core
