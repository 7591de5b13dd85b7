#pragma once

namespace kestrel {

class StepHost;
namespace platform {
class FolderLock;
}

// The wizard's start, once the window has loaded: a second wizard for the same application
// folder is told so and ends without touching anything; then a switch-over that a crash
// interrupted is settled and the user told in one box. lock is held for the window's life.
// False: the program was ended.
bool SettleStartUp(StepHost &host, platform::FolderLock &lock);

} // namespace kestrel
