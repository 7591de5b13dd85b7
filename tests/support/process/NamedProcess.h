#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace kestrel::test {

// A real process whose executable file is named exactly exeName: a copy of the system's
// sleep program in a fresh temporary folder, started so that it ends by itself after
// lifetime at the latest. The constructor returns once the new program image runs, and
// throws std::runtime_error when it cannot start it. Not copyable.
// With linkName, the process is started through a symbolic link of that name beside the
// file, so that the name it was started under differs from the file's own name.
class NamedProcess {
public:
    explicit NamedProcess(const std::string &exeName,
                          std::chrono::seconds lifetime = std::chrono::seconds(300),
                          const std::string &linkName = {});
    ~NamedProcess() { stop(); }

    NamedProcess(const NamedProcess &) = delete;
    NamedProcess &operator=(const NamedProcess &) = delete;

    // Ends the process, waits for it and removes its temporary folder; harmless when repeated.
    void stop();

    pid_t pid() const { return m_pid; }
    // Full path of the executable file that was started.
    const std::filesystem::path &executable() const { return m_executable; }

private:
    void start(std::string program, std::chrono::seconds lifetime);

    std::filesystem::path m_folder;
    std::filesystem::path m_executable;
    pid_t m_pid = -1;
};

} // namespace kestrel::test
