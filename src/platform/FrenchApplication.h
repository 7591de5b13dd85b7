#pragma once

class QCoreApplication;

namespace kestrel::platform {

// Application name and version from the build, the French locale, and Qt's own French
// translations (standard buttons, network error descriptions). The wizard and the test
// programs start the same way.
void prepareApplication(QCoreApplication &app);

} // namespace kestrel::platform
