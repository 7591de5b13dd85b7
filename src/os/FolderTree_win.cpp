#include "os/FolderTree.h"

#include "os/NodeKind_win.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace kestrel::os {

namespace {

// Renames an open node into the folder `into` under `name`, through the native call:
// SetFileInformationByHandle hands the name on as is on Windows, but wine's turns it into a full
// path first and then refuses it beside a root folder (ERROR_INVALID_PARAMETER). The structure of
// FileRenameInfo is the one NtSetInformationFile takes (class 10).
bool renameInto(HANDLE node, HANDLE into, const std::wstring &name, DWORD &code)
{
    struct IoStatus {
        union {
            LONG status;
            void *pointer;
        };
        ULONG_PTR information;
    };
    using SetInformation = LONG(WINAPI *)(HANDLE, IoStatus *, void *, ULONG, int);
    using StatusToError = ULONG(WINAPI *)(LONG);
    static const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    static const auto setInformation = reinterpret_cast<SetInformation>(
        reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "NtSetInformationFile")));
    static const auto statusToError = reinterpret_cast<StatusToError>(
        reinterpret_cast<void (*)()>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = into;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), info->FileName);
    if (!setInformation || !statusToError) {
        code = ERROR_PROC_NOT_FOUND;
        return false;
    }
    IoStatus io{};
    const LONG status = setInformation(node, &io, info, static_cast<ULONG>(buffer.size()), 10);
    code = status >= 0 ? ERROR_SUCCESS : statusToError(status);
    return status >= 0;
}

std::error_code systemError(DWORD code = ::GetLastError())
{
    return {static_cast<int>(code), std::system_category()};
}

std::error_code linkMet()
{
    return std::make_error_code(std::errc::too_many_symbolic_link_levels);
}

// The literal form of an absolute path: no MAX_PATH limit, trailing dots and blanks kept.
std::wstring literalPath(const std::filesystem::path &path)
{
    std::wstring text = std::filesystem::absolute(path).lexically_normal().make_preferred().native();
    while (text.size() > 3 && text.back() == L'\\')
        text.pop_back();
    if (text.rfind(L"\\\\?\\", 0) == 0)
        return text;
    if (text.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

DWORD handleAttributes(HANDLE handle)
{
    FILE_BASIC_INFO basic {};
    return ::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ? basic.FileAttributes
                                                                                         : INVALID_FILE_ATTRIBUTES;
}

} // namespace

// Every folder gone through stays open, shared for reading and writing but not for deletion,
// until close(): while it is held, neither it nor any folder above it can be renamed, deleted or
// swapped for a junction, so a path checked once keeps leading to the same folders.
struct FolderTree::Handles {
    std::wstring root;
    std::map<std::wstring, HANDLE> folders;  // relative path (empty for the root) -> handle

    std::wstring full(const std::filesystem::path &relative) const
    {
        const std::wstring text = relative.lexically_normal().make_preferred().native();
        return text.empty() || text == L"." ? root : root + L"\\" + text;
    }

    void forget(const std::wstring &relative)
    {
        for (auto it = folders.begin(); it != folders.end();) {
            if (!relative.empty() && (it->first == relative || it->first.rfind(relative + L"\\", 0) == 0)) {
                ::CloseHandle(it->second);
                it = folders.erase(it);
            } else {
                ++it;
            }
        }
    }

    // The held handle of a folder below the root, each folder on the way checked to be a real one.
    std::error_code folder(const std::filesystem::path &relative, HANDLE &handle)
    {
        std::wstring walked;
        handle = folders.at(L"");
        for (const std::filesystem::path &component : relative.lexically_normal()) {
            if (component == L"..")
                return std::make_error_code(std::errc::invalid_argument);
            if (component.empty() || component == L".")
                continue;
            walked = walked.empty() ? component.native() : walked + L"\\" + component.native();
            if (const auto found = folders.find(walked); found != folders.end()) {
                handle = found->second;
                continue;
            }
            const std::wstring path = root + L"\\" + walked;
            const DWORD seen = ::GetFileAttributesW(path.c_str());
            if (seen == INVALID_FILE_ATTRIBUTES)
                return systemError();
            // Wine opens the target of a link made by its host even when asked for the link
            // itself: the attributes of the name are checked as well as those of the handle.
            if (kindOf(seen) != NodeKind::Folder)
                return kindOf(seen) == NodeKind::Link ? linkMet() : std::make_error_code(std::errc::not_a_directory);
            const HANDLE opened = ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES
                                                    | SYNCHRONIZE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (opened == INVALID_HANDLE_VALUE)
                return systemError();
            const DWORD attributes = handleAttributes(opened);
            if (attributes == INVALID_FILE_ATTRIBUTES || kindOf(attributes) != NodeKind::Folder) {
                ::CloseHandle(opened);
                return linkMet();
            }
            folders.emplace(walked, opened);
            handle = opened;
        }
        return {};
    }
};

FolderTree::FolderTree() : m_handles(std::make_unique<Handles>()) {}

FolderTree::~FolderTree()
{
    close();
}

std::error_code FolderTree::open(const std::filesystem::path &root)
{
    close();
    m_handles->root = literalPath(root);
    const HANDLE opened = ::CreateFileW(m_handles->root.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE
                                            | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return systemError();
    m_handles->folders.emplace(L"", opened);
    return {};
}

std::error_code FolderTree::open(const FolderTree &from, const std::filesystem::path &relative)
{
    close();
    HANDLE folder = nullptr;
    if (std::error_code error = from.m_handles->folder(relative, folder))
        return error;
    HANDLE own = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), folder, ::GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return systemError();
    m_handles->root = from.m_handles->full(relative);
    m_handles->folders.emplace(L"", own);
    return {};
}

void FolderTree::close()
{
    for (const auto &[relative, handle] : m_handles->folders)
        ::CloseHandle(handle);
    m_handles->folders.clear();
}

NodeKind FolderTree::kind(const std::filesystem::path &relative, std::error_code &error) const
{
    HANDLE parent = nullptr;
    if ((error = m_handles->folder(relative.parent_path(), parent))) {
        if (error.value() == ERROR_FILE_NOT_FOUND || error.value() == ERROR_PATH_NOT_FOUND) {
            error.clear();
            return NodeKind::Missing;
        }
        return NodeKind::Other;
    }
    const DWORD attributes = ::GetFileAttributesW(m_handles->full(relative).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return kindOf(attributes);
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
        return NodeKind::Missing;
    error = systemError(code);
    return NodeKind::Other;
}

// Each name by itself: the system compares names by rules of the volume's own.
std::error_code FolderTree::kinds(const std::filesystem::path &folder, const std::vector<std::filesystem::path> &names,
                                  std::vector<NodeKind> &found) const
{
    found.assign(names.size(), NodeKind::Missing);
    std::error_code error;
    for (std::size_t i = 0; i < names.size() && !error; ++i)
        found[i] = kind(folder / names[i], error);
    return error;
}

// The node is opened itself (a link as a link) and renamed by its handle into the held handle of
// the destination folder: neither path is read again by name after its folders were checked.
std::error_code FolderTree::rename(const std::filesystem::path &from, const FolderTree &toTree,
                                   const std::filesystem::path &to) const
{
    HANDLE source = nullptr;
    HANDLE destination = nullptr;
    if (std::error_code error = m_handles->folder(from.parent_path(), source))
        return error;
    if (std::error_code error = toTree.m_handles->folder(to.parent_path(), destination))
        return error;
    // A held handle inside the node would keep it from moving.
    m_handles->forget(from.lexically_normal().make_preferred().native());
    const HANDLE node = ::CreateFileW(m_handles->full(from).c_str(), DELETE | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (node == INVALID_HANDLE_VALUE)
        return systemError();
    DWORD code = ERROR_SUCCESS;
    const bool renamed = renameInto(node, destination, to.filename().native(), code);
    ::CloseHandle(node);
    if (renamed)
        return {};
    return code == ERROR_ALREADY_EXISTS ? std::make_error_code(std::errc::file_exists) : systemError(code);
}

std::error_code FolderTree::createFolders(const std::filesystem::path &relative) const
{
    std::filesystem::path made;
    for (const std::filesystem::path &component : relative) {
        made /= component;
        HANDLE parent = nullptr;
        if (std::error_code error = m_handles->folder(made.parent_path(), parent))
            return error;
        if (!::CreateDirectoryW(m_handles->full(made).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return systemError();
    }
    return {};
}

std::error_code FolderTree::read(const std::filesystem::path &relative,
                                 const std::function<void(const char *, std::size_t)> &block) const
{
    HANDLE parent = nullptr;
    if (std::error_code error = m_handles->folder(relative.parent_path(), parent))
        return error;
    const HANDLE file = ::CreateFileW(m_handles->full(relative).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return systemError();
    std::error_code error;
    if (kindOf(handleAttributes(file)) != NodeKind::File
        || kindOf(::GetFileAttributesW(m_handles->full(relative).c_str())) != NodeKind::File)
        error = linkMet();
    std::vector<char> buffer(256 * 1024);
    DWORD got = 0;
    while (!error) {
        if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            error = systemError();
        else if (got == 0)
            break;
        else
            block(buffer.data(), got);
    }
    ::CloseHandle(file);
    return error;
}

std::error_code FolderTree::list(const std::filesystem::path &relative,
                                 std::vector<std::pair<std::filesystem::path, NodeKind>> &children) const
{
    HANDLE folder = nullptr;
    if (std::error_code error = m_handles->folder(relative, folder))
        return error;
    WIN32_FIND_DATAW found {};
    const HANDLE search = ::FindFirstFileExW((m_handles->full(relative) + L"\\*").c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return systemError();
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            children.emplace_back(name, kindOf(found.dwFileAttributes));
    } while (::FindNextFileW(search, &found));
    const DWORD end = ::GetLastError();
    ::FindClose(search);
    return end == ERROR_NO_MORE_FILES ? std::error_code() : systemError(end);
}

} // namespace kestrel::os
