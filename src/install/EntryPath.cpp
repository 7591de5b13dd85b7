#include "install/EntryPath.h"

#include "os/NameCase.h"

#include <algorithm>
#include <array>

namespace kestrel::install {

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
}


// Where short names are kept, "KESTRE~1" opens the file whose long name is "kestrel-staging":
// a name of that form may stand for another one.
bool isShortNameForm(std::string_view name)
{
    const std::size_t dot = name.find('.');
    const std::string_view base = name.substr(0, dot);
    const std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
    const std::size_t tilde = base.rfind('~');
    return base.size() <= 8 && extension.size() <= 3 && extension.find('.') == std::string_view::npos
        && tilde != std::string_view::npos && tilde > 0 && tilde + 1 < base.size()
        && base.find_first_not_of("0123456789", tilde + 1) == std::string_view::npos;
}

// Windows reads the part before the first dot, without the blanks at its end, and compares it
// in any letter case; the superscript digits ¹ ² ³ count as digits there.
bool isDeviceName(std::string_view name)
{
    std::string stem(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    std::transform(stem.begin(), stem.end(), stem.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    static const std::array<std::string_view, 6> devices = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::find(devices.begin(), devices.end(), stem) != devices.end())
        return true;
    if (stem.size() < 4 || (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0))
        return false;
    const std::string_view number = std::string_view(stem).substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xc2\xb9"
        || number == "\xc2\xb2" || number == "\xc2\xb3";
}

std::string inQuotes(const std::string &text)
{
    std::string shown = text;
    std::replace_if(shown.begin(), shown.end(), [](char c) { return static_cast<unsigned char>(c) < 32; }, '?');
    return "« " + shown + " »";
}

std::string refused(const std::string &why)
{
    return "Le fichier d'installation a été refusé : " + why + ". Aucun fichier n'a été modifié.";
}

} // namespace

EntryPath readEntryPath(std::string_view path)
{
    EntryPath result;
    if (!path.empty() && isSeparator(path.front())) {
        result.verdict = PathVerdict::Absolute;
        return result;
    }
    if (path.find(':') != std::string_view::npos) {
        result.verdict = PathVerdict::DriveOrStream;
        return result;
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !isSeparator(path[end]))
            ++end;
        const std::string_view component = path.substr(start, end - start);
        if (component == "..") {
            result.verdict = PathVerdict::ParentStep;
            result.components.clear();
            return result;
        }
        if (!component.empty() && component != ".")
            result.components.emplace_back(component);
        start = end + 1;
    }
    result.verdict = result.components.empty() ? PathVerdict::Root : PathVerdict::Inside;
    return result;
}

std::string relativePath(const EntryPath &path)
{
    std::string relative;
    for (const std::string &component : path.components)
        relative += (relative.empty() ? "" : "/") + component;
    return relative;
}

NameFault windowsNameFault(std::string_view component)
{
    for (const char c : component) {
        if (static_cast<unsigned char>(c) < 32 || std::string_view("<>:\"|?*").find(c) != std::string_view::npos)
            return NameFault::ForbiddenCharacter;
    }
    if (!component.empty() && (component.back() == '.' || component.back() == ' '))
        return NameFault::TrailingDotOrSpace;
    if (isDeviceName(component))
        return NameFault::DeviceName;
    return isShortNameForm(component) ? NameFault::ShortNameForm : NameFault::None;
}

PackageNames::PackageNames(const std::vector<std::filesystem::path> &reserved)
{
    for (const std::filesystem::path &path : reserved) {
        std::string key;
        for (const std::filesystem::path &part : path) {
            const std::u8string text = part.u8string();
            if (!key.empty())
                key += '/';
            key += os::nameCaseKey(std::string(text.begin(), text.end()));
        }
        if (!key.empty())
            m_reserved.insert(key);
    }
}

std::optional<std::string> PackageNames::refusal(const std::string &text, const EntryPath &path)
{
    const std::string entry = "l'élément " + inQuotes(text);
    for (const std::string &component : path.components) {
        switch (windowsNameFault(component)) {
        case NameFault::None: break;
        case NameFault::ForbiddenCharacter:
            return refused(entry + " contient le nom " + inQuotes(component)
                           + ", où figure un caractère que Windows n'accepte pas dans un nom de fichier");
        case NameFault::TrailingDotOrSpace:
            return refused(entry + " contient le nom " + inQuotes(component)
                           + ", qui finit par un point ou un espace que Windows ne conserverait pas");
        case NameFault::DeviceName:
            return refused(entry + " contient le nom " + inQuotes(component)
                           + ", que Windows réserve à un périphérique");
        case NameFault::ShortNameForm:
            return refused(entry + " contient le nom " + inQuotes(component)
                           + ", de la forme des noms courts par lesquels Windows désigne aussi d'autres fichiers");
        }
    }
    std::string spelled;
    std::string key;
    for (std::size_t i = 0; i < path.components.size(); ++i) {
        if (i > 0) {
            spelled += '/';
            key += '/';
        }
        spelled += path.components[i];
        key += os::nameCaseKey(path.components[i]);
        if (m_reserved.contains(key))
            return refused(entry + " remplacerait un fichier de l'assistant de mise à jour");
        const auto [known, added] = m_spellings.try_emplace(key, spelled);
        if (!added && known->second != spelled)
            return refused(inQuotes(spelled) + " (dans " + entry + ") et " + inQuotes(known->second)
                           + " ne diffèrent que par les majuscules et minuscules, que Windows ne distingue pas");
    }
    return std::nullopt;
}

} // namespace kestrel::install
