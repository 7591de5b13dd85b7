#pragma once

// One update wizard at a time for one application folder. The lock is the operating system's
// own and is released by the kernel when the holding process ends, even when it is killed.
// One implementation file per operating system; free of Qt.

#include <cstdint>
#include <filesystem>

namespace kestrel::os {

class FolderLock {
public:
    enum class Result { Acquired, HeldElsewhere, NoFolder };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

    // Never waits. NoFolder: the folder cannot be opened, so there is nothing to guard.
    Result acquire(const std::filesystem::path &folder);
    void release();

private:
    std::intptr_t m_handle = -1;
};

} // namespace kestrel::os
