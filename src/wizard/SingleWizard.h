#pragma once

namespace kestrel::core {
class StepHost;
}
namespace kestrel::os {
class FolderLock;
}

namespace kestrel::wizard {

// One wizard per application folder: a second wizard for the same folder, or one that cannot
// take the lock at all, is told so and ends without touching anything. lock is held for the
// window's life. False: the program was ended.
bool ClaimApplicationFolder(core::StepHost &host, os::FolderLock &lock);

} // namespace kestrel::wizard
