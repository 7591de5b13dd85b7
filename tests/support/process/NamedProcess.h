#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace kestrel::test {

// A real process whose executable file is named exactly exeName: a copy of the system's sleep
// program in a fresh temporary folder, ending by itself after 300 s at the latest; started
// through a symbolic link named linkName beside it when given. The constructor returns once the
// new program image runs, and throws std::runtime_error when it cannot start it.
class NamedProcess {
public:
    explicit NamedProcess(const std::string &exeName, const std::string &linkName = {});
    ~NamedProcess() { stop(); }
    NamedProcess(const NamedProcess &) = delete;
    NamedProcess &operator=(const NamedProcess &) = delete;

    void stop(); // ends the process, waits for it and removes its folder; harmless when repeated
    pid_t pid() const { return m_pid; }
    const std::filesystem::path &executable() const { return m_executable; }

private:
    std::filesystem::path m_folder, m_executable;
    pid_t m_pid = -1;
};

} // namespace kestrel::test
