#pragma once

// Installs a zip package into a folder, free of the window: the whole archive is checked
// and written into a staging folder beside the package first, then moved into place, so a
// hostile or damaged package leaves the target folder as it was.

#include <cstddef>
#include <filesystem>
#include <string>

struct archive_entry;

namespace kestrel::install {

class InstallObserver {
public:
    virtual ~InstallObserver() = default;
    // The package was found safe; topLevelCount > 0.
    virtual void started(std::size_t topLevelCount) = 0;
    // That many top-level entries are fully written and verified (whole numbers, rising).
    virtual void topLevelStaged(std::size_t count) = 0;
    // Called between data blocks and entries; cheap to ignore.
    virtual void busy() = 0;
};

enum class InstallOutcome { Installed, CannotOpen, Failed };

struct InstallResult {
    InstallOutcome outcome = InstallOutcome::Failed;
    std::string description;  // French, UTF-8, when Failed
};

// Lives in the package's folder and holds this marker, by which a leftover is known as ours.
inline constexpr const char *kStagingFolderName = "kestrel-staging";
inline constexpr const char *kStagingMarkerName = "kestrel-staging.marker";

enum class EntryKind { File, Folder, SymbolicLink, HardLink, Special };
EntryKind classifyEntry(archive_entry *entry);

InstallResult installPackage(const std::filesystem::path &package, const std::filesystem::path &target,
                             InstallObserver &observer);

} // namespace kestrel::install
