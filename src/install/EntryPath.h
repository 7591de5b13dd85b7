#pragma once

// Reading an archive entry's path as a place inside the target folder, or refusing it.

#include <string>
#include <string_view>
#include <vector>

namespace kestrel::install {

enum class PathVerdict {
    Inside,       // components name a place inside the target folder
    Root,         // "./" and the like: the target folder itself
    Absolute,     // begins with a separator
    DriveOrStream,  // holds ':' (drive letter, Windows alternate data stream)
    ParentStep,   // holds a ".." component
};

struct EntryPath {
    PathVerdict verdict = PathVerdict::Root;
    std::vector<std::string> components;  // "." and empty components dropped
};

// Both '/' and '\\' separate components, whatever the system.
EntryPath readEntryPath(std::string_view path);

} // namespace kestrel::install
