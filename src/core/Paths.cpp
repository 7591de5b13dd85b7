#include "core/Paths.h"

namespace kestrel::core {

std::filesystem::path toPath(const QString &text)
{
    return std::filesystem::path(text.toStdU16String());
}

bool isPlainFileName(const QString &text)
{
    static const QString forbidden = QStringLiteral("/\\<>:\"|?*");
    if (text.isEmpty() || text == QLatin1String(".") || text == QLatin1String("..") || !text.isValidUtf16())
        return false;
    if (text.front().isSpace() || text.back().isSpace() || text.back() == QLatin1Char('.'))
        return false;
    for (const QChar ch : text) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f || ch.category() == QChar::Other_Control
            || forbidden.contains(ch))
            return false;
    }
    return true;
}

} // namespace kestrel::core
