#include "os/FolderLock.h"

#include <windows.h>

#include <string>

namespace kestrel::os {

FolderLock::~FolderLock()
{
    release();
}

namespace {

// The folder's identity: its volume's serial number and its file index, read through a handle on
// the folder itself. Every spelling of one folder (letter case, trailing separator, another drive
// letter, a subst drive, a short 8.3 name) leads to the same pair.
bool folderIdentity(const std::filesystem::path &folder, unsigned long &volume, unsigned long long &index)
{
    const HANDLE handle = ::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool read = ::GetFileInformationByHandle(handle, &info) != 0
        && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    ::CloseHandle(handle);
    volume = info.dwVolumeSerialNumber;
    index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return read;
}

} // namespace

// A named mutex keyed on the folder's identity: the system abandons it when its owner dies, and
// it creates nothing in the folder.
FolderLock::Result FolderLock::acquire(const std::filesystem::path &folder)
{
    release();
    unsigned long volume = 0;
    unsigned long long index = 0;
    if (!folderIdentity(folder, volume, index))
        return Result::NoFolder;
    const std::wstring name =
        L"Local\\kestrel11-update-" + std::to_wstring(volume) + L'-' + std::to_wstring(index);
    const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex)
        return Result::NoFolder;
    const DWORD waited = ::WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        ::CloseHandle(mutex);
        return Result::HeldElsewhere;
    }
    m_handle = reinterpret_cast<std::intptr_t>(mutex);
    return Result::Acquired;
}

void FolderLock::release()
{
    if (m_handle == -1)
        return;
    const HANDLE mutex = reinterpret_cast<HANDLE>(m_handle);
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
    m_handle = -1;
}

} // namespace kestrel::os
