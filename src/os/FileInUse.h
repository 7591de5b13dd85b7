#pragma once

// Windows refuses to rename a file that another program holds open without sharing its deletion
// (an antivirus scanning it, a running program's DLL); such holds usually end within a second.
// Free of Qt, one implementation file per operating system.

#include <chrono>
#include <system_error>
#include <thread>

namespace kestrel::os {

// True when error is the system refusing because another program holds the file (never on Linux,
// where nothing holds a file against a rename).
bool heldByAnotherProgram(const std::error_code &error);

// Runs operation (which answers a std::error_code) again while another program holds its file,
// waiting 0.1 s, then twice as long each time: 3.1 s in all at most. Answers the last error.
template <typename Operation>
std::error_code retryWhileHeld(Operation operation)
{
    std::error_code error = operation();
    for (auto wait = std::chrono::milliseconds(100); error && heldByAnotherProgram(error)
         && wait <= std::chrono::milliseconds(1600); wait *= 2) {
        std::this_thread::sleep_for(wait);
        error = operation();
    }
    return error;
}

} // namespace kestrel::os
