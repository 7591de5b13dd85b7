#pragma once

namespace kestrel {

class StepHost;

// Step 4: deletes the package file; always true.
bool CleanTemporaryFiles(StepHost &host);

} // namespace kestrel
