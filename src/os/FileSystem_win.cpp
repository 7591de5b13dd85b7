#include "os/FileSystem.h"

#include "os/NodeKind_win.h"

#include <windows.h>

#include <memory>
#include <utility>
#include <vector>

namespace kestrel::os {

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

std::error_code systemError(DWORD code = ::GetLastError())
{
    return {static_cast<int>(code), std::system_category()};
}

bool isNotFound(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// The path as the system reads it literally: absolute paths get the "\\?\" form, which lifts
// the MAX_PATH limit and keeps trailing dots and spaces instead of dropping them.
std::wstring systemPath(const std::filesystem::path &path)
{
    if (path.native().rfind(L"\\\\?\\", 0) == 0)
        return path.native();
    std::wstring text = path.lexically_normal().make_preferred().native();
    while (text.size() > 3 && text.back() == L'\\')
        text.pop_back();
    if (text.size() >= 3 && text[1] == L':' && text[2] == L'\\')
        return L"\\\\?\\" + text;
    if (text.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + text.substr(2);
    return text;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};

// Deletes one node through a handle on the node itself (a link, not what it points to), once
// the handle shows the kind that the folder listing showed.
std::error_code deleteNode(const std::wstring &path, NodeKind expected)
{
    const HANDLE opened = ::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        return isNotFound(code) ? std::error_code() : systemError(code);
    }
    const std::unique_ptr<void, HandleCloser> handle(opened);
    FILE_BASIC_INFO basic {};
    if (!::GetFileInformationByHandleEx(opened, FileBasicInfo, &basic, sizeof basic))
        return systemError();
    // Another kind than the listing showed: the node was replaced meanwhile, or the handle
    // reached through a link (wine opens the target of a link made by its host even when
    // asked for the link itself). Deleting through it would delete what is not ours.
    if (kindOf(basic.FileAttributes) != expected)
        return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    if (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) {
        // Zero times are left as they are.
        FILE_BASIC_INFO writable {};
        writable.FileAttributes = basic.FileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
        if (writable.FileAttributes == 0)
            writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileInformationByHandle(opened, FileBasicInfo, &writable, sizeof writable))
            return systemError();
    }
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(opened, FileDispositionInfo, &disposition, sizeof disposition))
        return systemError();
    return {};
}

std::error_code removeNode(const std::wstring &path, DWORD attributes);

std::error_code removeChildren(const std::wstring &folder)
{
    WIN32_FIND_DATAW found {};
    const HANDLE search = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return systemError();
    // The listing reports a link's own attributes. All names first: a folder changed while it
    // is read may skip some.
    std::vector<std::pair<std::wstring, DWORD>> children;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            children.emplace_back(name, found.dwFileAttributes);
    } while (::FindNextFileW(search, &found));
    const DWORD end = ::GetLastError();
    ::FindClose(search);
    std::error_code first = end == ERROR_NO_MORE_FILES ? std::error_code() : systemError(end);
    for (const auto &[name, attributes] : children) {
        const std::error_code error = removeNode(folder + L"\\" + name, attributes);
        if (!first)
            first = error;
    }
    return first;
}

std::error_code removeNode(const std::wstring &path, DWORD attributes)
{
    const NodeKind kind = kindOf(attributes);
    if (kind == NodeKind::Folder) {
        if (const std::error_code error = removeChildren(path))
            return error;
    }
    return deleteNode(path, kind);
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

// Windows files carry no Unix bits: nothing to give.
std::error_code setPermissionBits(const std::filesystem::path &, unsigned)
{
    return {};
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

NodeKind nodeKind(const std::filesystem::path &path, std::error_code &error)
{
    error.clear();
    const DWORD attributes = ::GetFileAttributesW(systemPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return kindOf(attributes);
    const DWORD code = ::GetLastError();
    if (isNotFound(code))
        return NodeKind::Missing;
    error = systemError(code);
    return NodeKind::Other;
}

std::error_code removeTree(const std::filesystem::path &path)
{
    if (!path.lexically_normal().has_relative_path())
        return std::make_error_code(std::errc::invalid_argument);
    const std::wstring node = systemPath(path);
    const DWORD attributes = ::GetFileAttributesW(node.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return removeNode(node, attributes);
    const DWORD code = ::GetLastError();
    return isNotFound(code) ? std::error_code() : systemError(code);
}

} // namespace kestrel::os
