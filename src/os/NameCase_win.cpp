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
    // Letters whose case partner is in another script block: some systems' tables leave them
    // alone while file systems' upper-case tables may merge them, so they are merged here.
    for (wchar_t &c : text) {
        switch (c) {
        case 0x0130: case 0x0131: c = L'i'; break; // İ, ı
        case 0x017F: c = L's'; break;              // ſ
        case 0x212A: c = L'k'; break;              // kelvin sign
        case 0x212B: c = 0x00E5; break;            // angstrom sign
        default: break;
        }
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string key(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, key.data(), bytes, nullptr, nullptr);
    return key;
}

} // namespace kestrel::os
