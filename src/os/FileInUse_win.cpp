#include "os/FileInUse.h"

#include <windows.h>

namespace kestrel::os {

// The system's own codes. The C++ library of MinGW-w64 (GCC 12) turns a sharing violation in
// std::filesystem::rename into the portable EIO; the thread's last system error, set by the
// failed call just before, still tells what happened.
bool heldByAnotherProgram(const std::error_code &error)
{
    const DWORD code = error.category() == std::system_category() ? static_cast<DWORD>(error.value())
                                                                   : ::GetLastError();
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

} // namespace kestrel::os
