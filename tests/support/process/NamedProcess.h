#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace kestrel::test {

// A running copy of the system's sleep named exeName in a fresh temporary folder (300 s at most), started through a link
// named linkName beside it when given; constructed once the program image runs, else std::runtime_error.
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
