#pragma once

#include "platform/FrenchApplication.h"

class QApplication;

namespace kestrel::wizard {

// Creates the window with the build's configuration, shows it and runs the event loop.
int runWizard(QApplication &app);

} // namespace kestrel::wizard
