#include "os/DiskSync.h"

#include <windows.h>

namespace kestrel::os {

namespace {

std::error_code lastError()
{
    return {static_cast<int>(::GetLastError()), std::system_category()};
}

HANDLE openNoFollow(const std::filesystem::path &path, DWORD access, DWORD extraFlags)
{
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | extraFlags, nullptr);
}

} // namespace

std::error_code syncFile(const std::filesystem::path &file)
{
    const HANDLE handle = openNoFollow(file, GENERIC_WRITE, 0);
    if (handle == INVALID_HANDLE_VALUE)
        return lastError();
    std::error_code error;
    if (!::FlushFileBuffers(handle))
        error = lastError();
    ::CloseHandle(handle);
    return error;
}

// NTFS writes its metadata through its own log: a folder needs no flush of its own.
std::error_code syncFolder(const std::filesystem::path &)
{
    return {};
}

// Flushing a whole volume needs administrator rights there: files are flushed one by one.
std::error_code syncVolume(const std::filesystem::path &)
{
    return std::make_error_code(std::errc::function_not_supported);
}

// Creating a probe file is the only reliable answer under Windows access control lists.
bool canWriteInto(const std::filesystem::path &folder)
{
    const std::filesystem::path probe = folder / L"kestrel-probe.tmp";
    const HANDLE handle = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(handle);
    return true;
}

bool sameVolume(const std::filesystem::path &a, const std::filesystem::path &b)
{
    const auto serial = [](const std::filesystem::path &path, DWORD &number) {
        const HANDLE handle = openNoFollow(path, 0, FILE_FLAG_BACKUP_SEMANTICS);
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        BY_HANDLE_FILE_INFORMATION info{};
        const bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
        ::CloseHandle(handle);
        number = info.dwVolumeSerialNumber;
        return ok;
    };
    DWORD first = 0;
    DWORD second = 0;
    return serial(a, first) && serial(b, second) && first == second;
}

} // namespace kestrel::os
