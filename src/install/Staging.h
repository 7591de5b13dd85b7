#pragma once

// The staging folder beside the package: the package is written there in full, checked
// and flushed to disk before anything in the application folder changes.

#include "install/EngineTypes.h"
#include "install/PackageReader.h"
#include "install/SwitchRecord.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace kestrel::install {

class Staging {
public:
    // Hands out an entry's data in order: 1 with the next block, 0 at its end, -1 when the data
    // cannot be read as the entry says.
    using BlockSource = std::function<int(const void *&block, std::size_t &size)>;

    Staging(std::filesystem::path folder, InstallObserver &observer);
    void setObserver(InstallObserver &observer) { m_observer = &observer; }
    // Staged bytes go to the disk as they are written, for a shorter flush; for a staging on a
    // worker thread, which the disk may keep waiting.
    void writeBehind() { m_writeBehind = true; }

    const std::filesystem::path &folder() const { return m_folder; }
    std::filesystem::path content() const { return m_folder / "content"; }
    std::filesystem::path backup() const { return m_folder / "backup"; }

    // Makes a fresh staging folder; a leftover with our marker is removed first.
    // created: the folder now exists and is ours to remove.
    std::optional<std::string> prepare(bool &created);
    // The second pass: writes every entry under content(), within its declared size.
    std::optional<std::string> stage(const std::filesystem::path &package, const EntryChecker &checker,
                                     const Plan &plan);
    // One folder entry, or one file entry written from source within its declared size (-1 when
    // only the source bounds it); shown names the entry in a refusal.
    std::optional<std::string> stageFolder(const EntryPath &path);
    std::optional<std::string> stageFile(const EntryPath &path, unsigned permissions, std::int64_t declared,
                                         const BlockSource &source, const std::string &shown);
    // Forces every staged file and folder to the disk.
    std::optional<std::string> flush();
    // Every staged file with its size and the CRC-32 of the bytes written.
    const NewFiles &newFiles() const { return m_newFiles; }

private:
    std::optional<std::string> stageEntry(archive *reader, archive_entry *entry, const EntryPath &path);
    std::optional<std::string> makeFolder(const std::filesystem::path &folder);

    std::filesystem::path m_folder;
    InstallObserver *m_observer;
    bool m_writeBehind = false;
    std::unordered_set<std::filesystem::path::string_type> m_folders;
    std::vector<std::filesystem::path> m_files;  // written, to be flushed
    NewFiles m_newFiles;
};

} // namespace kestrel::install
