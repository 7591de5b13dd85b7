#pragma once

// Operating-system file services, one implementation file per system.
// Free of Qt so that the Windows side builds with the cross toolchain alone.

#include <string>

namespace kestrel::platform {

// The native path separator: '\\' on Windows, '/' elsewhere.
char nativeSeparator();

// folder followed by the separator unless it already ends in one
// (a drive root such as "D:\\" or "/" keeps its single one).
std::string withTrailingSeparator(std::string folder, char separator);

// The folder of the running executable (UTF-8) as the system reports it: no trailing
// separator, except at a root such as "D:\\" or "/".
std::string programFolder();

// True for an ordinary file: not a folder, nor a hidden or system file where the system has those.
bool isOrdinaryFile(const std::string &utf8Path);

} // namespace kestrel::platform
