#pragma once

// The engine's only ways to look at a path and to remove a tree: neither follows a link.

#include <filesystem>
#include <system_error>

namespace kestrel::install {

// What the path itself is; a link is reported as a link, never as what it points to.
std::filesystem::file_status linkStatus(const std::filesystem::path &path);
bool existsHere(const std::filesystem::path &path);
// "C:\\app\\" as "C:\\app": the folder itself, which a trailing separator hides from path arithmetic.
std::filesystem::path withoutTrailingSeparator(const std::filesystem::path &folder);
// Removes a tree the wizard created (staging, backups); a link inside is removed, not entered.
std::error_code removeOurTree(const std::filesystem::path &path);

} // namespace kestrel::install
