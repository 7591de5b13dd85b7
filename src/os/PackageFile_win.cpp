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

PackageFile::Problem PackageFile::openFolder(const std::filesystem::path &folder, const std::string &partName)
{
    discard();
    closeAll();
    m_folder = folder;
    m_partName = partName;
    std::wstring folderPath = folder.native();
    while (folderPath.size() > 3 && (folderPath.back() == L'\\' || folderPath.back() == L'/'))
        folderPath.pop_back();
    const DWORD attributes = GetFileAttributesW(folderPath.c_str());
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
    return {};
}

PackageFile::Problem PackageFile::create(const std::filesystem::path &folder, const std::string &partName)
{
    if (const Problem problem = openFolder(folder, partName))
        return problem;
    const std::wstring part = (m_folder / std::filesystem::u8path(partName)).native();
    const DWORD attributes = GetFileAttributesW(part.c_str());
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

// Windows has no such hint: its lazy writer starts within a second or so by itself.
void PackageFile::startWriteBack(std::int64_t, std::int64_t) const {}

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

namespace {

// A plain file on disk, not a link or junction, with a single name, of at most maxSize bytes.
bool isOwnPlainFile(HANDLE file, std::int64_t maxSize, std::int64_t &size)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info))
        return false;
    size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        && info.nNumberOfLinks == 1 && size <= maxSize;
}

} // namespace

PackageFile::Problem PackageFile::keep(const std::string &recordName, const std::string &record)
{
    if (m_file == -1)
        return failed(Stage::Write, ERROR_INVALID_HANDLE);
    const std::wstring temporary = (m_folder / std::filesystem::u8path(recordName + ".new")).native();
    const std::wstring target = (m_folder / std::filesystem::u8path(recordName)).native();
    bool kept = FlushFileBuffers(handleOf(m_file));
    if (kept) {
        DeleteFileW(temporary.c_str());
        const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        DWORD written = 0;
        kept = file != INVALID_HANDLE_VALUE
            && WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr)
            && written == record.size() && FlushFileBuffers(file);
        if (file != INVALID_HANDLE_VALUE)
            kept = CloseHandle(file) && kept;
    }
    kept = kept && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!kept) {
        const Problem problem = failed(Stage::Write);
        DeleteFileW(temporary.c_str());
        discard();
        return problem;
    }
    CloseHandle(handleOf(m_file));
    m_file = -1;
    return {};
}

std::string PackageFile::takeRecord(const std::filesystem::path &folder, const std::string &recordName)
{
    if (openFolder(folder, recordName))
        return {};
    const std::wstring path = (folder / std::filesystem::u8path(recordName)).native();
    std::string text;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    std::int64_t size = 0;
    if (file != INVALID_HANDLE_VALUE && isOwnPlainFile(file, 4096, size)) {
        text.resize(static_cast<std::size_t>(size));
        DWORD got = 0;
        if (!ReadFile(file, text.data(), static_cast<DWORD>(size), &got, nullptr) || got != size)
            text.clear();
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    DeleteFileW(path.c_str());
    return text;
}

PackageFile::Problem PackageFile::reopen(const std::filesystem::path &folder, const std::string &partName,
                                         std::int64_t length)
{
    if (const Problem problem = openFolder(folder, partName))
        return problem;
    const std::wstring part = (m_folder / std::filesystem::u8path(partName)).native();
    const HANDLE file = CreateFileW(part.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failed(Stage::Create);
    std::int64_t size = 0;
    LARGE_INTEGER end{};
    end.QuadPart = length;
    if (!isOwnPlainFile(file, length, size) || size != length || !SetFilePointerEx(file, end, nullptr, FILE_BEGIN)
        || !SetEndOfFile(file)) {
        CloseHandle(file);
        return failed(Stage::Create, ERROR_FILE_EXISTS);
    }
    m_file = reinterpret_cast<std::intptr_t>(file);
    m_size = length;
    return {};
}

PackageFile::Problem PackageFile::readFront(void *into, std::size_t size)
{
    char *bytes = static_cast<char *>(into);
    for (std::size_t done = 0; done < size;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(done);
        at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(done) >> 32);
        const DWORD piece = size - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size - done);
        DWORD got = 0;
        if (!ReadFile(handleOf(m_file), bytes + done, piece, &got, &at) || got == 0)
            return failed(Stage::Write);
        done += got;
    }
    // A read at an offset moves the file pointer: back to the end for the next write.
    LARGE_INTEGER end{};
    end.QuadPart = m_size;
    return SetFilePointerEx(handleOf(m_file), end, nullptr, FILE_BEGIN) ? Problem{} : failed(Stage::Write);
}

void PackageFile::closeAll()
{
    m_folderHandle = -1; // no folder handle is kept here: paths are used
}

} // namespace kestrel::os
