#pragma once

// A new file written in blocks, with the system's error code on failure.
// One implementation file per operating system.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace kestrel::os {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates or truncates the file. permissions: the Unix bits 0777 to give it, where the
    // system has them (the process's umask still applies).
    std::error_code open(const std::filesystem::path &path, unsigned permissions);
    std::error_code writeAt(std::int64_t offset, const void *data, std::size_t size);
    // Asks the system to start writing these bytes to the disk now, without waiting for them,
    // so that a later flush finds little left to do. A hint: nothing where the system has none.
    void startWriteBack(std::int64_t offset, std::int64_t length) const;
    std::error_code close();

private:
    std::intptr_t m_handle = -1;
    std::int64_t m_position = 0;
};

} // namespace kestrel::os
