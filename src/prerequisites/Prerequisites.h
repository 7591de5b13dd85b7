#pragma once

#include <QString>

namespace kestrel::core {
class StepHost;
}

namespace kestrel::prerequisites {

// True for a version text that can stand inside a file name on every system and is not overly long.
bool isPlainFileNameComponent(const QString &text);

// Step 1: the application is present, the latest version is known, the application is not running.
// Answers true, or ends the program. With a vendor key built in, it also answers false, after its
// box, when the software record is not signed by that key.
bool CheckPrerequisites(core::StepHost &host);

} // namespace kestrel::prerequisites
