#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>

namespace kestrel::test {

// A file the switch-over cannot move: immutable when run as root, else in a read-only folder.
class Obstacle {
public:
    explicit Obstacle(std::filesystem::path file) : m_file(std::move(file)) { m_set = change(true); }
    ~Obstacle() { lift(); }
    bool set() const { return m_set; }
    void lift()
    {
        if (std::exchange(m_set, false))
            change(false);
    }

private:
    bool change(bool on) const
    {
        if (::geteuid() != 0)
            return ::chmod(m_file.parent_path().c_str(), on ? 0555 : 0755) == 0;
        const int fd = ::open(m_file.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0)
            ::close(fd);
        return done;
    }

    std::filesystem::path m_file;
    bool m_set = false;
};

} // namespace kestrel::test
