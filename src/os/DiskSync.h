#pragma once

// Making finished files and folder changes durable, and the checks a rename needs.
// One implementation file per operating system; free of Qt.

#include <filesystem>
#include <system_error>

namespace kestrel::os {

// Forces a written file's data to the disk. The path is opened without following a link.
std::error_code syncFile(const std::filesystem::path &file);
// Forces the folder's entries (names created, renamed or removed in it) to the disk.
// Where the system has no such thing, succeeds without doing anything.
std::error_code syncFolder(const std::filesystem::path &folder);
// Forces everything written on the folder's volume to the disk in one call, where the system
// can (Linux: syncfs); else answers function_not_supported and the caller syncs item by item.
std::error_code syncVolume(const std::filesystem::path &folder);
// True when the process may create, rename and remove names in the folder.
bool canWriteInto(const std::filesystem::path &folder);
// True when both paths lie on the same volume, so that a rename between them is possible.
bool sameVolume(const std::filesystem::path &a, const std::filesystem::path &b);

} // namespace kestrel::os
