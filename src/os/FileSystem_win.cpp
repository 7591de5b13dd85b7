#include "FileSystem.h"

#include <windows.h>

namespace kestrel::platform {

namespace {

// Paths beyond MAX_PATH go up to 32767 characters.
constexpr DWORD longestPath = 32768;

std::wstring widen(const std::string &utf8)
{
    if (utf8.empty())
        return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                           static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                          wide.data(), size);
    return wide;
}

std::string narrow(const std::wstring &wide)
{
    if (wide.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                              size, nullptr, nullptr);
    return utf8;
}

std::wstring moduleFileName()
{
    std::wstring path(MAX_PATH, L'\0');
    while (path.size() <= longestPath) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        // A full buffer means the name was cut.
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
    return {};
}

std::wstring currentFolder()
{
    const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(size, L'\0');
    const DWORD length = size > 0 ? ::GetCurrentDirectoryW(size, folder.data()) : 0;
    folder.resize(length < size ? length : 0);
    return folder;
}

} // namespace

char nativeSeparator()
{
    return '\\';
}

std::string programFolder()
{
    const std::wstring path = moduleFileName();
    const auto separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos)
        return narrow(currentFolder());
    // A drive root keeps its backslash: "D:\", also as "\\?\D:\".
    const bool driveRoot = separator > 0 && path[separator - 1] == L':';
    return narrow(path.substr(0, driveRoot ? separator + 1 : separator));
}

bool isOrdinaryFile(const std::string &utf8Path)
{
    const std::wstring path = widen(utf8Path);
    if (path.empty())
        return false;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    constexpr DWORD notOrdinary = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN
        | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & notOrdinary) == 0;
}

} // namespace kestrel::platform
