#pragma once

// French descriptions of what went wrong during an installation (UTF-8).

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace kestrel::install {

std::string frenchSystemError(const std::error_code &error);
std::string displayPath(const std::filesystem::path &path);

} // namespace kestrel::install
