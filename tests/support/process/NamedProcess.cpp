#include "support/process/NamedProcess.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kestrel::test {

namespace fs = std::filesystem;

NamedProcess::NamedProcess(const std::string &exeName, const std::string &linkName)
{
    std::string folder = (fs::temp_directory_path() / "kestrel-process-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr)
        throw std::runtime_error("NamedProcess: cannot create a temporary folder");
    m_folder = folder;
    m_executable = m_folder / exeName;
    fs::copy_file("/bin/sleep", m_executable);
    fs::permissions(m_executable, fs::perms::owner_all);
    if (!linkName.empty())
        fs::create_symlink(exeName, m_folder / linkName);
    std::string program = (linkName.empty() ? m_executable : m_folder / linkName).string(), lifetime = "300";
    char *argv[] = {program.data(), lifetime.data(), nullptr};
    // posix_spawn returns once the new image runs, or with the exec's error; busy while a child forked meanwhile holds the new file.
    int error = ETXTBSY;
    for (int attempt = 0; error == ETXTBSY && attempt < 100; ++attempt)
        if ((error = ::posix_spawn(&m_pid, program.c_str(), nullptr, nullptr, argv, environ)) == ETXTBSY)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (error != 0) {
        m_pid = -1;
        stop();
        throw std::runtime_error("NamedProcess: cannot start " + program + ": " + std::strerror(error));
    }
    // The kernel fills /proc/PID/cmdline a little after the exec itself.
    const std::string cmdline = "/proc/" + std::to_string(m_pid) + "/cmdline";
    for (int attempt = 0; attempt < 5000 && std::ifstream(cmdline).peek() == EOF; ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void NamedProcess::stop()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    std::error_code ignored;
    if (!m_folder.empty())
        fs::remove_all(m_folder, ignored), m_folder.clear();
}

} // namespace kestrel::test
