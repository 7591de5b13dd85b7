#pragma once

// Reading an archive entry's path as a place inside the target folder, or refusing it.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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
// The components joined by '/': how the engine names a place inside the target folder.
std::string relativePath(const EntryPath &path);

// Why Windows could not hold one path component as written. Packages are made for Windows,
// so these are refused on every system.
enum class NameFault {
    None,
    ForbiddenCharacter,  // < > : " | ? * or a control character
    TrailingDotOrSpace,  // Windows drops them: "aide." would land on "aide"
    DeviceName,          // CON, PRN, AUX, NUL, COM0-9, LPT0-9... with any extension: a device
    ShortNameForm,       // "KESTRE~1.EXE": may be another file's short name
};

NameFault windowsNameFault(std::string_view component);

// The names of one package's entries, given one entry after the other. Windows ignores
// letter case, so entries that differ only in case would land in one place: the first
// spelling of each path is kept and any other spelling refused.
class PackageNames {
public:
    // reserved: paths relative to the target folder, on or under which no entry may land in
    // any letter case; empty ones are ignored.
    explicit PackageNames(const std::vector<std::filesystem::path> &reserved);

    // The French refusal of the entry whose text was read as path, or nothing.
    std::optional<std::string> refusal(const std::string &text, const EntryPath &path);

private:
    std::unordered_map<std::string, std::string> m_spellings;  // folded path -> first spelling
    std::unordered_set<std::string> m_reserved;                 // folded paths
};

} // namespace kestrel::install
