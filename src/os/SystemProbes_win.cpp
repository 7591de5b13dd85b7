// The 8-bit Toolhelp entry points and record: without UNICODE, Process32First and
// PROCESSENTRY32 are not mapped to their wide forms.
#undef UNICODE
#undef _UNICODE
#include <windows.h>
#include <tlhelp32.h>

#include "os/SystemProbes.h"

#include <cstring>
#include <type_traits>

namespace kestrel::os::Windows {

namespace {

// 296 bytes in a 32-bit program, 304 in a 64-bit one: Process32First refuses a smaller size.
constexpr DWORD entrySize = sizeof(PROCESSENTRY32);
static_assert(entrySize == (sizeof(void *) == 8 ? 304 : 296), "8-bit PROCESSENTRY32 expected");
static_assert(std::is_same_v<std::remove_extent_t<decltype(PROCESSENTRY32::szExeFile)>, CHAR>);

std::wstring widen(const char *text, int length, UINT codePage)
{
    if (length <= 0)
        return {};
    const int size = ::MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        ::MultiByteToWideChar(codePage, 0, text, length, wide.data(), size);
    return wide;
}

// The name field is in the system's 8-bit code page, up to its first NUL.
std::wstring processName(const PROCESSENTRY32 &entry)
{
    const auto length = ::strnlen(entry.szExeFile, MAX_PATH);
    return widen(entry.szExeFile, static_cast<int>(length), CP_ACP);
}

// Letter case folded as the file system folds it.
bool sameName(const std::wstring &a, const std::wstring &b)
{
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE)
        == CSTR_EQUAL;
}

class Snapshot {
public:
    Snapshot() : m_handle(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)) {}
    ~Snapshot()
    {
        if (taken())
            ::CloseHandle(m_handle);
    }
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;

    bool taken() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return m_handle; }

private:
    HANDLE m_handle;
};

bool anyProcessNamed(const std::wstring &wanted)
{
    Snapshot snapshot;
    if (!snapshot.taken())
        return false;
    PROCESSENTRY32 entry {};
    entry.dwSize = entrySize;
    for (BOOL fetched = ::Process32First(snapshot.handle(), &entry); fetched;
         fetched = ::Process32Next(snapshot.handle(), &entry)) {
        if (sameName(processName(entry), wanted))
            return true;
    }
    return false;
}

} // namespace

bool IsProcessRunning(std::string exeName)
{
    // Process names are bare file names: a name with a folder never matches.
    if (exeName.empty() || exeName.find_first_of("/\\") != std::string::npos)
        return false;
    try {
        const std::wstring wanted = widen(exeName.data(), static_cast<int>(exeName.size()), CP_UTF8);
        return !wanted.empty() && anyProcessNamed(wanted);
    } catch (...) {
        return false;
    }
}

} // namespace kestrel::os::Windows
