#include "Windows.h"

namespace Windows {

bool IsProcessRunning(std::string)
{
    return false; // not yet built
}

} // namespace Windows
