#include "os/OutputFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel::os {

namespace {

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

} // namespace

OutputFile::~OutputFile()
{
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

std::error_code OutputFile::open(const std::filesystem::path &path, unsigned permissions)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                          static_cast<mode_t>(permissions & 0777U));
    if (fd < 0)
        return lastError();
    m_handle = fd;
    m_position = 0;
    return {};
}

std::error_code OutputFile::writeAt(std::int64_t offset, const void *data, std::size_t size)
{
    const int fd = static_cast<int>(m_handle);
    if (offset != m_position) {
        if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
            return lastError();
        m_position = offset;
    }
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return lastError();
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        m_position += written;
    }
    return {};
}

void OutputFile::startWriteBack(std::int64_t offset, std::int64_t length) const
{
#ifdef __linux__
    if (m_handle >= 0)
        ::sync_file_range(static_cast<int>(m_handle), offset, length, SYNC_FILE_RANGE_WRITE);
#else
    (void)offset, (void)length;
#endif
}

std::error_code OutputFile::close()
{
    const int fd = static_cast<int>(m_handle);
    m_handle = -1;
    if (fd >= 0 && ::close(fd) != 0)
        return lastError();
    return {};
}

} // namespace kestrel::os
