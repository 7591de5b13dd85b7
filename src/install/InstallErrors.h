#pragma once

// French descriptions of what went wrong during an installation (UTF-8).

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace kestrel::install {

std::string frenchSystemError(const std::error_code &error);
std::string displayPath(const std::filesystem::path &path);

// Refusals of a zip whose structure lies about itself; entry names as stored in the zip.
std::string overlappingZipEntries(const std::string &first, const std::string &second);
std::string zipEntryIntoDirectory(const std::string &entry);
std::string impossibleZipEntrySize(const std::string &entry);
std::string encryptedZipEntry(const std::string &entry);
std::string unreadableZipDirectory();

} // namespace kestrel::install
