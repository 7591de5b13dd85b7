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

PackageFile::Problem PackageFile::openFolder(const std::filesystem::path &folder, const std::string &partName)
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
    return {};
}

PackageFile::Problem PackageFile::create(const std::filesystem::path &folder, const std::string &partName)
{
    if (const Problem problem = openFolder(folder, partName))
        return problem;
    const int dir = static_cast<int>(m_folderHandle);
    struct stat info {};
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
    m_writtenBack = 0;
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
#ifdef SYNC_FILE_RANGE_WRITE
    // The disk takes the bytes while the rest arrives, so that keeping a partial file for a
    // resume flushes little; the call only starts the writing and does not wait.
    constexpr std::int64_t kWriteBackBytes = 8 * 1024 * 1024;
    if (m_size - m_writtenBack >= kWriteBackBytes) {
        ::sync_file_range(static_cast<int>(m_file), m_writtenBack, m_size - m_writtenBack, SYNC_FILE_RANGE_WRITE);
        m_writtenBack = m_size;
    }
#endif
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

void PackageFile::startWriteBack(std::int64_t offset, std::int64_t length) const
{
#ifdef __linux__
    if (m_file != -1)
        ::sync_file_range(static_cast<int>(m_file), offset, length, SYNC_FILE_RANGE_WRITE);
#else
    (void)offset, (void)length;
#endif
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

PackageFile::Problem PackageFile::keep(const std::string &recordName, const std::string &record)
{
    if (m_file == -1)
        return failed(Stage::Write, EBADF);
    const int dir = static_cast<int>(m_folderHandle);
    const std::string temporary = recordName + ".new";
    int fd = -1;
    bool kept = ::fdatasync(static_cast<int>(m_file)) == 0;
    if (kept) {
        ::unlinkat(dir, temporary.c_str(), 0);
        fd = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        kept = fd >= 0 && ::write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size())
            && ::fsync(fd) == 0;
    }
    if (fd >= 0)
        kept = ::close(fd) == 0 && kept;
    kept = kept && ::renameat(dir, temporary.c_str(), dir, recordName.c_str()) == 0;
    if (!kept) {
        const Problem problem = failed(Stage::Write);
        ::unlinkat(dir, temporary.c_str(), 0);
        discard();
        return problem;
    }
    ::close(static_cast<int>(m_file));
    m_file = -1;
    closeAll();
    return {};
}

std::string PackageFile::takeRecord(const std::filesystem::path &folder, const std::string &recordName)
{
    if (openFolder(folder, recordName))
        return {};
    const int dir = static_cast<int>(m_folderHandle);
    std::string text;
    // Non-blocking, so that a pipe put in its place cannot hold the wizard.
    const int fd = ::openat(dir, recordName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info {};
    if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1
        && info.st_uid == ::geteuid() && info.st_size <= 4096) {
        text.resize(static_cast<std::size_t>(info.st_size));
        if (::read(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            text.clear();
    }
    if (fd >= 0)
        ::close(fd);
    ::unlinkat(dir, recordName.c_str(), 0);
    closeAll();
    return text;
}

PackageFile::Problem PackageFile::reopen(const std::filesystem::path &folder, const std::string &partName,
                                         std::int64_t length)
{
    if (const Problem problem = openFolder(folder, partName))
        return problem;
    const int dir = static_cast<int>(m_folderHandle);
    struct stat info {};
    // Only a regular file is opened at all: a device or a pipe is not even touched.
    if (::fstatat(dir, partName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        return failed(Stage::Create, EEXIST);
    const int fd = ::openat(dir, partName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failed(Stage::Create);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != ::geteuid()
        || info.st_size != length || ::ftruncate(fd, length) != 0
        || ::lseek(fd, length, SEEK_SET) != length) {
        ::close(fd);
        return failed(Stage::Create, EEXIST);
    }
    m_file = fd;
    m_size = m_writtenBack = length;
    return {};
}

PackageFile::Problem PackageFile::readFront(void *into, std::size_t size)
{
    char *bytes = static_cast<char *>(into);
    for (std::size_t done = 0; done < size;) {
        const ssize_t got = ::pread(static_cast<int>(m_file), bytes + done, size - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return failed(Stage::Write, got < 0 ? errno : EIO);
        done += static_cast<std::size_t>(got);
    }
    return {};
}

void PackageFile::closeAll()
{
    if (m_folderHandle != -1)
        ::close(static_cast<int>(m_folderHandle));
    m_folderHandle = -1;
}

} // namespace kestrel::os
