#include "FileInUse.h"

namespace kestrel::platform {

bool heldByAnotherProgram(const std::error_code &)
{
    return false;
}

} // namespace kestrel::platform
