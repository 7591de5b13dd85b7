#pragma once

// Operating-system file services, one implementation file per system.
// Free of Qt so that the Windows side builds with the cross toolchain alone.

#include <filesystem>
#include <string>
#include <system_error>

namespace kestrel::os {

// What a path names, the last component itself, never what a link there points to.
// Link: a symbolic link, or on Windows a junction or any other reparse point.
enum class NodeKind { Missing, File, Folder, Link, Other };

// Never follows a link in the last component (the folders before it are taken as they come).
// Missing, with no error, when nothing is there; Other, with error set, when the system
// cannot tell.
NodeKind nodeKind(const std::filesystem::path &path, std::error_code &error);

// Removes path and, for a folder, everything in it. Never descends into nor follows a link:
// a link is removed itself and what it points to stays. Nothing there is no failure. Goes on
// after a failure and answers the first one.
std::error_code removeTree(const std::filesystem::path &path);

// Gives a regular file the Unix bits 0777 of permissions, less the process's file-creation mask
// as when a file is created, where the system has them; refuses to act through a link.
std::error_code setPermissionBits(const std::filesystem::path &file, unsigned permissions);

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

} // namespace kestrel::os
