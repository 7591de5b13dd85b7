#pragma once

#include "FrenchApplication.h"
#include "WelcomePage.h"

class QApplication;

namespace kestrel {

// The support contacts of the build's configuration.
SupportContacts configuredSupportContacts();

// Creates the window with the build's configuration, shows it and runs the event loop.
int runWizard(QApplication &app);

} // namespace kestrel
