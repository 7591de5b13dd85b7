#pragma once

// French descriptions of what went wrong during an installation (UTF-8), all in one place.

#include "install/EntryPath.h"
#include "install/EngineTypes.h"
#include "os/SystemError.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace kestrel::install {

using os::frenchSystemError;
std::string displayPath(const std::filesystem::path &path);

namespace message {

// Why an entry may not be written, or nothing when it may.
std::optional<std::string> refusal(const std::string &path, PathVerdict verdict, EntryKind kind);
std::string reservedPath(const std::string &path);
std::string damaged(const std::string &path);
std::string nothingToInstall();
std::string changedPackage();
std::string missingParent(const std::filesystem::path &target);
std::string noSpace(std::uintmax_t needed, std::uintmax_t available);
std::string foreignStaging(const std::filesystem::path &staging);
std::string cannotClearStaging(const std::filesystem::path &staging, const std::error_code &error);
std::string stagingError(const std::filesystem::path &path, const std::error_code &error);
std::string cannotCreateTarget(const std::filesystem::path &target, const std::error_code &error);
std::string folderReplacedByFile(const std::string &name);
std::string fileReplacedByFolder(const std::string &name);
std::string notWritable(const std::string &name);
std::string otherVolume(const std::string &name);
// The switch-over failed and everything was put back.
std::string switchUndone(const std::string &name, const std::error_code &error);
// The switch-over failed and could not be put back either; the next start finishes the undo.
std::string switchNotUndone(const std::string &name, const std::error_code &error);
std::string leftoverNotRecovered(const std::string &detail);
std::string unreadableRecord(const std::filesystem::path &record);
std::string notPutBack(const std::string &name, const std::error_code &error);
// Refusals of a zip whose structure lies about itself; entry names as stored in the zip.
std::string overlappingZipEntries(const std::string &first, const std::string &second);
std::string zipEntryIntoDirectory(const std::string &entry);
std::string impossibleZipEntrySize(const std::string &entry);
std::string encryptedZipEntry(const std::string &entry);
std::string unsupportedCompression(const std::string &entry, std::uint64_t method);
// A new file found neither in the application folder nor in the staging: everything was put back.
std::string vanishedUndone(const std::string &name);
std::string tooLarge();
std::string unreadableZipDirectory();
std::string outOfMemory();
std::string fileSystem(const std::error_code &error);
extern const std::string kMarkerText;

} // namespace message

} // namespace kestrel::install
