#pragma once

// Reading the zip package and checking every entry before anything is written.

#include "install/EngineTypes.h"
#include "install/EntryPath.h"

#include <archive.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct archive_entry;

namespace kestrel::install {

using ReaderPtr = std::unique_ptr<archive, decltype(&archive_read_free)>;

// The reader that starts from the central directory, or null when the file is not such a zip.
ReaderPtr openZip(const std::filesystem::path &package);
// True for a well-formed zip without any entry, which the reader above does not open.
bool isEmptyZip(const std::filesystem::path &package);
std::string entryPathText(archive_entry *entry);
EntryKind classifyEntry(archive_entry *entry);
// Fills in the Unix bits 0777 of a regular file's entry; nothing more.
unsigned entryPermissions(archive_entry *entry);
// The size the central directory declares, or -1 when it declares none.
std::int64_t declaredSize(archive_entry *entry);

// One entry as the installation writes it.
struct PlannedEntry {
    std::string relative;  // empty for the target folder itself
    EntryKind kind = EntryKind::File;
    unsigned permissions = 0;
};

// Counted per file beside its declared size: the file system's block rounding.
inline constexpr std::uint64_t kSlackPerEntry = 4096;

// What the first pass learns about the package.
struct Plan {
    std::vector<PlannedEntry> entries;  // in the order read
    std::vector<std::string> topLevel;  // in order of first appearance
    std::vector<std::size_t> doneAfter;  // per entry: top-level entries complete once it is written
    std::uintmax_t totalBytes = 0;  // declared sizes, with an allowance per entry for block rounding
};

// Refuses entries that would leave the target, are links or special files, or would land on
// the wizard's own files inside the target.
class EntryChecker {
public:
    EntryChecker(const std::filesystem::path &target, const std::filesystem::path &staging,
                 const std::filesystem::path &package);
    std::optional<std::string> check(archive_entry *entry, EntryPath &path) const;
    // The name rules of one pass over the package, which also keep the wizard's own paths.
    PackageNames names() const { return PackageNames({m_reservedStaging, m_reservedPackage}); }

private:
    std::filesystem::path m_reservedStaging;
    std::filesystem::path m_reservedPackage;
};

// The first pass: checks every entry and plans the progress; a French reason when refused.
// observer, when given, is kept busy between entries.
std::optional<std::string> scanPackage(archive *reader, const EntryChecker &checker, Plan &plan,
                                       InstallObserver *observer = nullptr);

} // namespace kestrel::install
