#pragma once

// Operating-system probes, one implementation file per system. Free of Qt.

#include <string>

namespace kestrel::os::Windows {

// True when a running process has the executable file name exeName (UTF-8): whole bare
// names, letter case ignored (on Linux for ASCII letters only); a name with a folder never
// matches. False when the process list cannot be read; never throws, never prints.
bool IsProcessRunning(std::string exeName);

} // namespace kestrel::os::Windows
