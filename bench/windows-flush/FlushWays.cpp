// Ways to make many small staged files durable on Windows, timed against each other in one run:
//
//   x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -municode -static bench/windows-flush/FlushWays.cpp -o flush-ways.exe
//   wine flush-ways.exe C:\flush-bench 4096
//
// each: every file reopened and flushed (FlushFileBuffers), one after the other (what the
//       wizard does);
// each, 8 threads: the same flushes spread over 8 threads;
// at close: each file flushed through its own handle before it is closed;
// write-through: each file written through a FILE_FLAG_WRITE_THROUGH handle, no flush after.
// A volume flush needs administrator rights and is not timed.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::wstring> g_files;

void write(const std::wstring &path, DWORD flags, bool flushBeforeClose)
{
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
    const std::string data(1024, 'k');
    DWORD written = 0;
    ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    if (flushBeforeClose)
        ::FlushFileBuffers(file);
    ::CloseHandle(file);
}

void flushFile(const std::wstring &path)
{
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ::FlushFileBuffers(file);
    ::CloseHandle(file);
}

double seconds(auto start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    const std::wstring folder = argv[1];
    const int count = _wtoi(argv[2]);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    for (int i = 0; i < count; ++i)
        g_files.push_back(folder + L"\\f" + std::to_wstring(i));

    auto start = std::chrono::steady_clock::now();
    for (const auto &file : g_files)
        write(file, 0, false);
    const double plain = seconds(start);

    start = std::chrono::steady_clock::now();
    for (const auto &file : g_files)
        flushFile(file);
    const double each = seconds(start);

    for (const auto &file : g_files)
        write(file, 0, false);
    start = std::chrono::steady_clock::now();
    std::atomic<std::size_t> next = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (std::size_t i; (i = next++) < g_files.size();)
                flushFile(g_files[i]);
        });
    for (auto &thread : threads)
        thread.join();
    const double parallel = seconds(start);

    start = std::chrono::steady_clock::now();
    for (const auto &file : g_files)
        write(file, 0, true);
    const double atClose = seconds(start);

    start = std::chrono::steady_clock::now();
    for (const auto &file : g_files)
        write(file, FILE_FLAG_WRITE_THROUGH, false);
    const double writeThrough = seconds(start);

    std::printf("%d files of 1 KiB: written %.2f s; then flushed: each %.2f s, each on 8 threads %.2f s; "
                "written and flushed at close %.2f s; written through %.2f s\n",
                count, plain, each, parallel, atClose, writeThrough);
    for (const auto &file : g_files)
        ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(folder.c_str());
    return 0;
}
