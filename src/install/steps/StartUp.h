#pragma once

namespace kestrel::core {
class StepHost;
}
namespace kestrel::os {
class FolderLock;
}

namespace kestrel::install::steps {

// The wizard's start, once the window has loaded: a second wizard for the same application
// folder is told so and ends without touching anything; then a switch-over that a crash
// interrupted is settled and the user told in one box. lock is held for the window's life.
// False: the program was ended.
bool SettleStartUp(core::StepHost &host, os::FolderLock &lock);

} // namespace kestrel::install::steps
