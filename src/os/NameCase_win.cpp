#include "os/NameCase.h"

#include <windows.h>

namespace kestrel::os {

std::string nameCaseKey(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const int size = static_cast<int>(utf8.size());
    const int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (wide <= 0)
        return std::string(utf8); // not UTF-8: compared byte for byte
    std::wstring text(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, text.data(), wide);
    // The system's own mapping, one character for one, as its file systems compare names.
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string key(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, key.data(), bytes, nullptr, nullptr);
    return key;
}

} // namespace kestrel::os
