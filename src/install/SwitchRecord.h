#pragma once

// The record of a switch-over, written to disk before the first rename in the application
// folder. Every step of the switch-over is one rename whose completion can be read back from
// the disk alone, so the record never needs updating: after a crash, the moves that were made
// are exactly those whose source is gone, and undoing them in reverse order is always possible.

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace kestrel::install {

struct Move {
    enum class Kind : char {
        Backup = 'B',  // target/relative -> backup/relative: the old file set aside
        Place = 'P',   // content/relative -> target/relative: the new file or folder put in
    };
    Kind kind;
    std::string relative;  // UTF-8 components joined by '/'
};

struct SwitchPaths {
    std::filesystem::path target;
    std::filesystem::path staging;

    std::filesystem::path content() const { return staging / "content"; }
    std::filesystem::path backup() const { return staging / "backup"; }
    std::filesystem::path record() const { return staging / "switch-record"; }
    // Present once every move is made: from then on the update is kept, whatever happens.
    std::filesystem::path committed() const { return staging / "switch-committed"; }
    std::filesystem::path source(const Move &move) const;
    std::filesystem::path destination(const Move &move) const;
};

std::filesystem::path underFolder(const std::filesystem::path &folder, const std::string &relative);

// Written to a temporary name, forced to disk, then renamed into place: the record is either
// absent or whole.
std::error_code writeRecord(const SwitchPaths &paths, const std::vector<Move> &moves);
// The target and moves of the record in staging, or nothing when it is absent or unreadable.
std::optional<std::vector<Move>> readRecord(const std::filesystem::path &staging, std::filesystem::path &target);

bool moveDone(const SwitchPaths &paths, const Move &move);
// Reverses every move that was made, last first; safe to repeat after a crash in the middle.
// On failure, names the entry that could not be put back.
std::error_code undoMoves(const SwitchPaths &paths, const std::vector<Move> &moves, std::string &failed);
// Marks the update as kept: from here on, a later start completes it.
std::error_code markCommitted(const SwitchPaths &paths);
// Drops the record first, then the commit mark, the backups, the staged content and the rest.
std::error_code dropStaging(const SwitchPaths &paths);

} // namespace kestrel::install
