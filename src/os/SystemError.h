#pragma once

// The system's reason for a failed file operation, in French (UTF-8), for the boxes of every
// step: the portable conditions cover what a user can act upon.

#include <string>
#include <system_error>

namespace kestrel::os {

std::string frenchSystemError(const std::error_code &error);

} // namespace kestrel::os
