#include "os/FolderLock.h"

#include <windows.h>

#include <string>

namespace kestrel::os {

FolderLock::~FolderLock()
{
    release();
}

// A named mutex keyed on the folder's full path: the system abandons it when its owner dies,
// and it creates nothing in the folder.
FolderLock::Result FolderLock::acquire(const std::filesystem::path &folder)
{
    release();
    std::error_code error;
    const std::filesystem::path full = std::filesystem::absolute(folder, error);
    if (error || !std::filesystem::is_directory(full, error))
        return Result::NoFolder;
    std::wstring key = full.lexically_normal().wstring();
    while (!key.empty() && (key.back() == L'\\' || key.back() == L'/'))
        key.pop_back();
    ::CharLowerBuffW(key.data(), static_cast<DWORD>(key.size()));
    // FNV-1a, so that every build of the wizard names the same mutex for the same folder.
    unsigned long long hash = 14695981039346656037ULL;
    for (const wchar_t c : key)
        hash = (hash ^ static_cast<unsigned long long>(c)) * 1099511628211ULL;
    const std::wstring name = L"Local\\kestrel11-update-" + std::to_wstring(hash);
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
