#include "ProgramEnd.h"

#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace kestrel {

void QtProgramEnd::endProgram()
{
    if (m_window)
        m_window->close();
    std::fflush(nullptr);
    // Not exit(): the caller is deep inside a click handler and must not return into it.
    std::_Exit(0);
}

} // namespace kestrel
