#pragma once

// Operating-system probes, one implementation file per system. Free of Qt.

#include <string>

namespace Windows {

// True when a running process has the executable file name exeName: whole bare names,
// letter case ignored. False when the process list cannot be read; never throws.
bool IsProcessRunning(std::string exeName);

} // namespace Windows
