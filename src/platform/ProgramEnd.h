#pragma once

class QWidget;

namespace kestrel::platform {

// Closes the main window and ends the process at once: nothing after the call may run.
class ProgramEnd {
public:
    virtual ~ProgramEnd() = default;
    virtual void endProgram() = 0;
};


} // namespace kestrel::platform
