#include "os/PackageFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::os {

namespace {

PackageFile::Problem failed(PackageFile::Stage stage, int error = errno)
{
    return {stage, std::error_code(error, std::generic_category())};
}

// A trailing slash would make the system follow a link named by the path.
std::string withoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

PackageFile::~PackageFile()
{
    discard();
    closeAll();
}

PackageFile::Problem PackageFile::create(const std::filesystem::path &folder, const std::string &partName)
{
    discard();
    closeAll();
    m_folder = folder;
    m_partName = partName;
    const std::string folderPath = withoutTrailingSlash(folder.native());
    struct stat info {};
    if (::lstat(folderPath.c_str(), &info) != 0) {
        if (errno != ENOENT || ::mkdir(folderPath.c_str(), 0777) != 0)
            return failed(Stage::Folder);
    } else if (S_ISLNK(info.st_mode)) {
        return failed(Stage::FolderIsLink, ELOOP);
    } else if (!S_ISDIR(info.st_mode)) {
        return failed(Stage::FolderNotFolder, ENOTDIR);
    }
    // Everything below goes through this handle, so the folder cannot be swapped for a link meanwhile.
    const int dir = ::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return failed(errno == ELOOP ? Stage::FolderIsLink : Stage::Folder);
    m_folderHandle = dir;

    if (::fstatat(dir, partName.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        // unlinkat removes the entry itself: a link's target, or a hard link's other names, stay untouched.
        if (::unlinkat(dir, partName.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0)
            return failed(Stage::Clear);
    } else if (errno != ENOENT) {
        return failed(Stage::Clear);
    }
    const int fd = ::openat(dir, partName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return failed(Stage::Create);
    m_file = fd;
    m_size = 0;
    return {};
}

PackageFile::Problem PackageFile::write(const void *data, std::size_t size)
{
    if (m_file == -1)
        return failed(Stage::Write, EBADF);
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = ::write(static_cast<int>(m_file), bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return failed(Stage::Write);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        m_size += written;
    }
    return {};
}

std::int64_t PackageFile::readAt(std::int64_t offset, void *data, std::size_t size) const
{
    if (m_file == -1)
        return -1;
    ssize_t got = 0;
    do
        got = ::pread(static_cast<int>(m_file), data, size, static_cast<off_t>(offset));
    while (got < 0 && errno == EINTR);
    return got;
}

PackageFile::Problem PackageFile::commit(const std::string &finalName)
{
    if (m_file == -1)
        return failed(Stage::Write, EBADF);
    const int fd = static_cast<int>(m_file);
    m_file = -1;
    if (::close(fd) != 0) {
        const Problem problem = failed(Stage::Write);
        ::unlinkat(static_cast<int>(m_folderHandle), m_partName.c_str(), 0);
        return problem;
    }
    // rename replaces the entry at the final name, whatever it is, without opening it.
    if (::renameat(static_cast<int>(m_folderHandle), m_partName.c_str(), static_cast<int>(m_folderHandle),
                   finalName.c_str())
        != 0) {
        const Problem problem = failed(Stage::Rename);
        ::unlinkat(static_cast<int>(m_folderHandle), m_partName.c_str(), 0);
        return problem;
    }
    closeAll();
    return {};
}

void PackageFile::discard()
{
    if (m_file == -1)
        return;
    ::close(static_cast<int>(m_file));
    m_file = -1;
    ::unlinkat(static_cast<int>(m_folderHandle), m_partName.c_str(), 0);
}

void PackageFile::closeAll()
{
    if (m_folderHandle != -1)
        ::close(static_cast<int>(m_folderHandle));
    m_folderHandle = -1;
}

} // namespace kestrel::os
