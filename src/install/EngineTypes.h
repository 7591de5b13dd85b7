#pragma once

// What the parts of the package engine share: how they report progress, the kinds of entry,
// and the staging folder's names.

#include <cstddef>

namespace kestrel::install {

class InstallObserver {
public:
    virtual ~InstallObserver() = default;
    // The package was found safe; topLevelCount > 0.
    virtual void started(std::size_t topLevelCount) = 0;
    // That many top-level entries are fully written and verified (whole numbers, rising).
    virtual void topLevelStaged(std::size_t count) = 0;
    // Called between data blocks, entries and moves; cheap to ignore.
    virtual void busy() = 0;
};

// Lives in the package's folder and holds this marker, by which a leftover is known as ours.
inline constexpr const char *kStagingFolderName = "kestrel-staging";
inline constexpr const char *kStagingMarkerName = "kestrel-staging.marker";

enum class EntryKind { File, Folder, SymbolicLink, HardLink, Special };

} // namespace kestrel::install
