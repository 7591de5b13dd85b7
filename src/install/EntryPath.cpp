#include "EntryPath.h"

namespace kestrel::install {

namespace {

bool isSeparator(char c)
{
    return c == '/' || c == '\\';
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

} // namespace kestrel::install
