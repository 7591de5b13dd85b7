#pragma once

// The package file of one download, ours alone: written under a temporary name inside the
// updates folder, then renamed over its final name. Nothing that stands in the way (a link,
// a hard link, a pipe, a device, a folder) is ever opened, followed or written through.
// Free of Qt; one implementation file per operating system.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

namespace kestrel::os {

class PackageFile {
public:
    enum class Stage {
        None,
        FolderIsLink,    // the updates folder is a link (or a junction)
        FolderNotFolder, // something other than a folder has the updates folder's name
        Folder,          // the updates folder cannot be made or opened
        Clear,           // what stands at the temporary name cannot be removed
        Create,
        Write,
        Rename,
    };
    struct Problem {
        Stage stage = Stage::None;
        std::error_code error;
        explicit operator bool() const { return stage != Stage::None; }
    };

    PackageFile() = default;
    ~PackageFile(); // an unfinished file is removed
    PackageFile(const PackageFile &) = delete;
    PackageFile &operator=(const PackageFile &) = delete;

    // Makes the updates folder when absent (its parent must exist); an existing one must be a
    // real folder. Then removes whatever stands at partName, without following it (a folder
    // only when empty), and creates the file anew, exclusively.
    Problem create(const std::filesystem::path &folder, const std::string &partName);
    // Appends to the file created above.
    Problem write(const void *data, std::size_t size);
    // Reads up to size bytes from offset of the file created above, while it is open: the count,
    // or -1 on failure. May run on another thread while write appends beyond what it reads.
    std::int64_t readAt(std::int64_t offset, void *data, std::size_t size) const;
    // Asks the system to start writing these bytes to the disk now, without waiting; a hint
    // that a later flush of the volume then finds done. Safe on another thread than write.
    void startWriteBack(std::int64_t offset, std::int64_t length) const;
    // Closes the file and renames it over finalName, replacing the entry there, never writing through it.
    // No flush to disk: after a power cut the wizard starts over and downloads the package again.
    Problem commit(const std::string &finalName);
    // Closes and removes the file when it was created and not committed; safe to call at any time.
    void discard();

    // Lets an unfinished file stay for a later resume: flushes it to disk, then writes `record`
    // under recordName beside it (replacing that entry, never writing through it) and flushes it.
    // On a problem nothing is kept: the file is removed.
    Problem keep(const std::string &recordName, const std::string &record);
    // The text of a record kept above in folder (checked as by create), when it is our own small
    // regular file, else empty; the record's entry is removed in any case, so that it serves once.
    std::string takeRecord(const std::filesystem::path &folder, const std::string &recordName);
    // Opens a kept file again to append to it, only when it is our own regular file with a single
    // name and not larger than `length`, cut back to `length` (the folder is checked as by create).
    Problem reopen(const std::filesystem::path &folder, const std::string &partName, std::int64_t length);
    // Reads the file's first `size` bytes (after reopen), leaving the position at its end.
    Problem readFront(void *into, std::size_t size);

    bool isOpen() const { return m_file != -1; }
    std::int64_t size() const { return m_size; }

private:
    void closeAll();
    Problem openFolder(const std::filesystem::path &folder, const std::string &partName);

    std::filesystem::path m_folder;
    std::string m_partName;
    std::intptr_t m_folderHandle = -1; // where the system has folder handles
    std::intptr_t m_file = -1;
    std::int64_t m_size = 0;
    std::int64_t m_writtenBack = 0; // where the system was last asked to start writing to disk
};

} // namespace kestrel::os
