#pragma once

namespace kestrel {

class StepHost;

// Step 1: the application is present, the latest version is known, the application is not running.
// Answers true, or ends the program.
bool CheckPrerequisites(StepHost &host);

} // namespace kestrel
