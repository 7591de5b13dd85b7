#include "os/FileInUse.h"

namespace kestrel::os {

bool heldByAnotherProgram(const std::error_code &)
{
    return false;
}

} // namespace kestrel::os
