#include "os/FolderLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kestrel::os {

FolderLock::~FolderLock()
{
    release();
}

// The lock is taken on the application folder itself, so nothing is created to hold it.
// flock locks belong to the open file description: a second window of the same process
// is refused like a second process.
FolderLock::Result FolderLock::acquire(const std::filesystem::path &folder)
{
    release();
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Result::NoFolder;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held ? Result::HeldElsewhere : Result::NoFolder;
    }
    m_handle = fd;
    return Result::Acquired;
}

void FolderLock::release()
{
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
    m_handle = -1;
}

} // namespace kestrel::os
