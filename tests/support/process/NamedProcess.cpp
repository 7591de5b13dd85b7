#include "NamedProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace kestrel::test {

namespace {

std::filesystem::path sleepProgram()
{
    for (const char *candidate : {"/bin/sleep", "/usr/bin/sleep"})
        if (std::filesystem::exists(candidate))
            return candidate;
    throw std::runtime_error("NamedProcess: no sleep program found");
}

std::filesystem::path makeTemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrel-process-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("NamedProcess: cannot create a temporary folder");
    return pattern;
}

// Starts path with one argument; answers the new process id, or the exec's errno as a negative number.
pid_t spawn(const std::string &path, const std::string &argument)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("NamedProcess: pipe failed");
    std::string arg0 = path;
    std::string arg1 = argument;
    char *argv[] = {arg0.data(), arg1.data(), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(path.c_str(), argv);
        const int error = errno;
        [[maybe_unused]] auto written = ::write(pipeFds[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        throw std::runtime_error("NamedProcess: fork failed");
    }
    // The pipe closes on a successful exec, so end of file means the new image runs.
    int error = 0;
    ssize_t count;
    do
        count = ::read(pipeFds[0], &error, sizeof error);
    while (count < 0 && errno == EINTR);
    ::close(pipeFds[0]);
    if (count <= 0)
        return pid;
    ::waitpid(pid, nullptr, 0);
    return -error;
}

} // namespace

NamedProcess::NamedProcess(const std::string &exeName, std::chrono::seconds lifetime,
                           const std::string &linkName)
    : m_folder(makeTemporaryFolder())
    , m_executable(m_folder / exeName)
{
    try {
        std::filesystem::copy_file(sleepProgram(), m_executable);
        std::filesystem::permissions(m_executable, std::filesystem::perms::owner_all);
        if (linkName.empty()) {
            start(m_executable, lifetime);
        } else {
            std::filesystem::create_symlink(exeName, m_folder / linkName);
            start(m_folder / linkName, lifetime);
        }
    } catch (...) {
        stop();
        throw;
    }
}

NamedProcess::~NamedProcess()
{
    stop();
}

void NamedProcess::start(const std::filesystem::path &program, std::chrono::seconds lifetime)
{
    // A file just written may still be open in a child that another thread forked meanwhile.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const pid_t result = spawn(program.string(), std::to_string(lifetime.count()));
        if (result > 0) {
            m_pid = result;
            waitUntilArgumentsVisible();
            return;
        }
        if (result != -ETXTBSY)
            throw std::runtime_error("NamedProcess: cannot start " + program.string() + ": "
                                     + std::strerror(-result));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("NamedProcess: " + program.string() + " stays busy");
}

// The kernel fills /proc/PID/cmdline a little after the exec itself.
void NamedProcess::waitUntilArgumentsVisible() const
{
    const std::string cmdline = "/proc/" + std::to_string(m_pid) + "/cmdline";
    for (int attempt = 0; attempt < 5000; ++attempt) {
        std::ifstream file(cmdline, std::ios::binary);
        if (file.peek() != std::ifstream::traits_type::eof())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void NamedProcess::stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
        m_folder.clear();
    }
}

} // namespace kestrel::test
