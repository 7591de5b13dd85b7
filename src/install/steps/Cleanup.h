#pragma once

namespace kestrel::core {
class StepHost;
}

namespace kestrel::install::steps {

// Step 4: deletes the package file; always true.
bool CleanTemporaryFiles(core::StepHost &host);

} // namespace kestrel::install::steps
