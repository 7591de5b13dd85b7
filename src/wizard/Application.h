#pragma once

#include "WelcomePage.h"

class QApplication;

namespace kestrel {

// The support contacts of the build's configuration.
SupportContacts configuredSupportContacts();

// Application name, version and Qt's own French translations.
void prepareApplication(QApplication &app);

// Creates the window with the build's configuration, shows it and runs the event loop.
int runWizard(QApplication &app);

} // namespace kestrel
