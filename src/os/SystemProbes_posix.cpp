#include "os/SystemProbes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace kestrel::os::Windows {

namespace {

// The kernel keeps at most this many characters of a process name in /proc/PID/comm.
constexpr std::size_t commLength = 15;

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Letter case is folded for ASCII only; other bytes must be equal.
bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

std::string_view baseName(std::string_view path)
{
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// At most one page of the file; empty when it cannot be read.
std::string readProcFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::array<char, 4096> buffer {};
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    ::close(fd);
    return count > 0 ? std::string(buffer.data(), static_cast<std::size_t>(count)) : std::string();
}

std::string executableName(const std::string &processDir)
{
    std::array<char, 4096> target {};
    const ssize_t count = ::readlink((processDir + "/exe").c_str(), target.data(), target.size());
    if (count <= 0 || static_cast<std::size_t>(count) >= target.size())
        return {};
    std::string_view path(target.data(), static_cast<std::size_t>(count));
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted))
        path.remove_suffix(deleted.size());
    return std::string(baseName(path));
}

// "PID (comm) STATE ...": comm may itself hold parentheses, so it ends at the last ')'.
struct ProcessStatus {
    std::string comm;
    char state = '\0';
};

ProcessStatus readStatus(const std::string &processDir)
{
    const std::string stat = readProcFile(processDir + "/stat");
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open || close + 2 >= stat.size())
        return {};
    return {stat.substr(open + 1, close - open - 1), stat[close + 2]};
}

// comm as the kernel keeps it; when it may have been cut, argv[0]'s file name if that continues it.
std::string startedName(const std::string &processDir, const std::string &comm)
{
    if (comm.size() < commLength)
        return comm;
    const std::string cmdline = readProcFile(processDir + "/cmdline");
    const std::string_view argv0 = baseName(std::string_view(cmdline.c_str()));
    return argv0.starts_with(comm) ? std::string(argv0) : std::string();
}

// The exe link names the file itself but is unreadable for other users' processes; comm
// (cut at 15) completed by argv[0] names what was started, and covers those processes.
bool processHasName(const std::string &processDir, std::string_view wanted)
{
    const ProcessStatus status = readStatus(processDir);
    // A zombie has ended and waits only for its parent; a vanished process has no status.
    if (status.state == '\0' || status.state == 'Z' || status.state == 'X')
        return false;
    return sameName(executableName(processDir), wanted)
        || sameName(startedName(processDir, status.comm), wanted);
}

bool isProcessId(const char *name)
{
    return *name != '\0' && std::all_of(name, name + std::char_traits<char>::length(name),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

bool anyProcessNamed(std::string_view wanted)
{
    DIR *proc = ::opendir("/proc");
    if (proc == nullptr)
        return false;
    bool found = false;
    while (!found) {
        const dirent *entry = ::readdir(proc);
        if (entry == nullptr)
            break;
        if (isProcessId(entry->d_name))
            found = processHasName(std::string("/proc/") + entry->d_name, wanted);
    }
    ::closedir(proc);
    return found;
}

} // namespace

bool IsProcessRunning(std::string exeName)
{
    // Process names are bare file names: a name with a folder in either notation never matches.
    if (exeName.empty() || exeName.find_first_of("/\\") != std::string::npos)
        return false;
    try {
        return anyProcessNamed(exeName);
    } catch (...) {
        return false;
    }
}

} // namespace kestrel::os::Windows
