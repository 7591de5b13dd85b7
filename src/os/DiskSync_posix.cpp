#include "os/DiskSync.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::os {

namespace {

std::error_code syncPath(const std::filesystem::path &path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {errno, std::generic_category()};
    std::error_code error;
    if (::fsync(fd) != 0)
        error = {errno, std::generic_category()};
    ::close(fd);
    return error;
}

} // namespace

std::error_code syncFile(const std::filesystem::path &file)
{
    return syncPath(file, 0);
}

std::error_code syncFolder(const std::filesystem::path &folder)
{
    return syncPath(folder, O_DIRECTORY);
}

std::error_code syncVolume(const std::filesystem::path &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {errno, std::generic_category()};
    std::error_code error;
    if (::syncfs(fd) != 0)
        error = {errno, std::generic_category()};
    ::close(fd);
    return error;
}

bool canWriteInto(const std::filesystem::path &folder)
{
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool sameVolume(const std::filesystem::path &a, const std::filesystem::path &b)
{
    struct stat first {};
    struct stat second {};
    return ::lstat(a.c_str(), &first) == 0 && ::lstat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev;
}

} // namespace kestrel::os
