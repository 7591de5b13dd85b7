#include "os/PackageFile.h"

#include <windows.h>

namespace kestrel::os {

namespace {

PackageFile::Problem failed(PackageFile::Stage stage, DWORD error = GetLastError())
{
    return {stage, std::error_code(static_cast<int>(error), std::system_category())};
}

HANDLE handleOf(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

PackageFile::~PackageFile()
{
    discard();
    closeAll();
}

PackageFile::Problem PackageFile::create(const std::filesystem::path &folder, const std::string &partName)
{
    discard();
    closeAll();
    m_folder = folder;
    m_partName = partName;
    std::wstring folderPath = folder.native();
    while (folderPath.size() > 3 && (folderPath.back() == L'\\' || folderPath.back() == L'/'))
        folderPath.pop_back();
    DWORD attributes = GetFileAttributesW(folderPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            || !CreateDirectoryW(folderPath.c_str(), nullptr))
            return failed(Stage::Folder);
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return failed(Stage::FolderIsLink, ERROR_CANT_ACCESS_FILE);
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return failed(Stage::FolderNotFolder, ERROR_DIRECTORY);
    }

    const std::wstring part = (m_folder / std::filesystem::u8path(partName)).native();
    attributes = GetFileAttributesW(part.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        // Both remove the entry itself: a symbolic link or junction, never what it points to.
        if (attributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(part.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(part.c_str())
                                                                     : DeleteFileW(part.c_str());
        if (!removed)
            return failed(Stage::Clear);
    }
    const HANDLE file = CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failed(Stage::Create);
    m_file = reinterpret_cast<std::intptr_t>(file);
    m_size = 0;
    return {};
}

PackageFile::Problem PackageFile::write(const void *data, std::size_t size)
{
    if (m_file == -1)
        return failed(Stage::Write, ERROR_INVALID_HANDLE);
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const DWORD piece = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        // At an explicit offset, as readAt reads at its own through the same handle: on a
        // handle opened for synchronous use, a read at an offset moves the file pointer too.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(m_size));
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(m_size) >> 32);
        if (!WriteFile(handleOf(m_file), bytes, piece, &written, &at))
            return failed(Stage::Write);
        bytes += written;
        size -= written;
        m_size += written;
    }
    return {};
}

std::int64_t PackageFile::readAt(std::int64_t offset, void *data, std::size_t size) const
{
    if (m_file == -1)
        return -1;
    const DWORD piece = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD got = 0;
    if (!ReadFile(handleOf(m_file), data, piece, &got, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return got;
}

PackageFile::Problem PackageFile::commit(const std::string &finalName)
{
    if (m_file == -1)
        return failed(Stage::Write, ERROR_INVALID_HANDLE);
    const std::wstring part = (m_folder / std::filesystem::u8path(m_partName)).native();
    const std::wstring target = (m_folder / std::filesystem::u8path(finalName)).native();
    const BOOL closed = CloseHandle(handleOf(m_file));
    m_file = -1;
    if (!closed) {
        const Problem problem = failed(Stage::Write);
        DeleteFileW(part.c_str());
        return problem;
    }
    // Replaces the entry at the final name; a link there is replaced, not followed.
    if (!MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const Problem problem = failed(Stage::Rename);
        DeleteFileW(part.c_str());
        return problem;
    }
    return {};
}

void PackageFile::discard()
{
    if (m_file == -1)
        return;
    CloseHandle(handleOf(m_file));
    m_file = -1;
    DeleteFileW((m_folder / std::filesystem::u8path(m_partName)).native().c_str());
}

void PackageFile::closeAll()
{
    m_folderHandle = -1; // no folder handle is kept here: paths are used
}

} // namespace kestrel::os
