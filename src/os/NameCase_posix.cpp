#include "os/NameCase.h"

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <utility>

namespace kestrel::os {

namespace {

// The decoded character and its length in bytes, or a length of 0 when the bytes are not UTF-8.
std::pair<char32_t, std::size_t> decode(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || length > text.size())
        return {0, 0};
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return {0, 0};
        c = (c << 6) | (byte(i) & 0x3F);
    }
    return {c, length};
}

void encode(char32_t c, std::string &out)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The whole of Unicode's simple case mappings, whatever the user's own locale says.
locale_t unicodeLocale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

} // namespace

std::string nameCaseKey(std::string_view utf8)
{
    std::string key;
    key.reserve(utf8.size());
    while (!utf8.empty()) {
        auto [c, length] = decode(utf8);
        if (length == 0) {
            key += utf8.front();
            utf8.remove_prefix(1);
            continue;
        }
        if (c >= 0x80 && unicodeLocale() != static_cast<locale_t>(nullptr))
            c = static_cast<char32_t>(towlower_l(towupper_l(static_cast<wint_t>(c), unicodeLocale()), unicodeLocale()));
        else if (c >= 'A' && c <= 'Z')
            c = c - 'A' + 'a';
        encode(c, key);
        utf8.remove_prefix(length);
    }
    return key;
}

} // namespace kestrel::os
