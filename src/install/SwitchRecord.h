#pragma once

// The record of a switch-over, written to disk before the first rename in the application
// folder. Every step of the switch-over is one rename, and whether it was made is read from the
// disk at both of its ends, never from one alone: an old file counts as set aside only when the
// backup holds it, a new file as placed only when the application folder holds it with the size
// and CRC-32 the record gives. So the record never needs updating, and a file that vanished
// (a virus scanner's quarantine, a user cleaning the updates folder) is never taken for moved.

#include "install/Crc32.h"
#include "os/FolderTree.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace kestrel::install {

struct Move {
    enum class Kind : char {
        Backup = 'B',  // target/relative -> backup/relative: the old file set aside
        Place = 'P',   // content/relative -> target/relative: a new file put in
        PlaceFolder = 'D',  // content/relative -> target/relative: a new folder put in whole
    };
    Kind kind;
    std::string relative;  // UTF-8 components joined by '/'
};

// A file of the package as staged: what recognises it wherever it is.
struct NewFile {
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
};
using NewFiles = std::map<std::string, NewFile>;  // by relative path

struct SwitchPaths {
    std::filesystem::path target;
    std::filesystem::path staging;

    std::filesystem::path record() const { return staging / "switch-record"; }
};

std::filesystem::path underFolder(const std::filesystem::path &folder, const std::string &relative);

// The folders a switch-over renames in, opened from the application folder down (the staging
// too, when it lies inside), so that no rename goes through a link. The staged files' folder is
// reached that way once and then held.
class SwitchTrees {
public:
    std::error_code open(const SwitchPaths &paths);
    void close();

    struct Spot {
        const os::FolderTree *tree;
        std::filesystem::path relative;
    };
    Spot target(const std::string &relative) const;
    Spot content(const std::string &relative) const;
    Spot backup(const std::string &relative) const;
    Spot source(const Move &move) const;
    Spot destination(const Move &move) const;

private:
    os::FolderTree m_target;
    os::FolderTree m_ownStaging;  // used only when the staging lies outside the target
    const os::FolderTree *m_staging = nullptr;
    std::filesystem::path m_stagingBelow;  // the staging relative to m_staging's root
    os::FolderTree m_content;  // the staged files' folder, when it could be opened
    bool m_contentOpen = false;
};

std::error_code renameSpot(const SwitchTrees::Spot &from, const SwitchTrees::Spot &to);
os::NodeKind kindAt(const SwitchTrees::Spot &spot, std::error_code &error);
// Size and CRC-32 of the regular file there; nothing when it is missing or another kind.
std::optional<NewFile> fileAt(const SwitchTrees::Spot &spot, std::error_code &error);

// Written to a temporary name, forced to disk, then renamed into place: the record is either
// absent or whole.
std::error_code writeRecord(const SwitchPaths &paths, const std::vector<Move> &moves, const NewFiles &files);
// The target, moves and files of the record in staging, or nothing when it is absent or unreadable.
bool readRecord(const std::filesystem::path &staging, std::filesystem::path &target, std::vector<Move> &moves,
                NewFiles &files);

// What the disk shows of one switch-over, and the way back.
class SwitchState {
public:
    SwitchState(const SwitchTrees &trees, const std::vector<Move> &moves, const NewFiles &files);

    bool done(const Move &move, std::error_code &error) const;
    // Every new file is in the application folder as staged; else `missing` names the first that
    // is not. An error: cannot tell.
    bool allInPlace(std::string &missing, std::error_code &error) const;
    // True when the new file is neither in the application folder nor in the staging.
    bool vanished(const std::string &relative) const;
    // Reverses every move that was made, last first; safe to repeat after a crash in the middle.
    // Then checks that no old file is left in the backups. On failure, names the entry that could
    // not be put back (after trying all the others).
    std::error_code undo(std::string &failed) const;

private:
    bool placedFile(const std::string &relative, std::error_code &error) const;
    bool placedFolder(const std::string &relative, std::error_code &error) const;

    const SwitchTrees &m_trees;
    const std::vector<Move> &m_moves;
    const NewFiles &m_files;
    std::map<std::string, bool> m_replaces;  // relative -> has a backup move
};

// For tests: called with 0, 1, ... before each rename of the switch-over, then with the
// number of renames n once they are all made, n + 1 once every new file was read back in place
// and n + 2 once the record and backups are gone. An error returned before a rename makes that
// rename fail with it; later points ignore the answer. A hook may also throw.
using SwitchPointHook = std::error_code (*)(std::size_t point);
void setSwitchPointHook(SwitchPointHook hook);
std::error_code switchPoint(std::size_t point);
// The same, with 0, 1, ... before each rename of an undo (after a failure, or at start-up).
void setUndoPointHook(SwitchPointHook hook);
// Called before each worker thread starts; throwing there is a thread that could not start.
using WorkerStartHook = void (*)();
void setWorkerStartHook(WorkerStartHook hook);

// Removes the staging: the record first, the marker last, so that the folder is known as ours
// until its last file is gone.
std::error_code dropStaging(const std::filesystem::path &staging);

} // namespace kestrel::install
