#pragma once

class QWidget;

namespace kestrel {

// Closes the main window and ends the process at once: nothing after the call may run.
class ProgramEnd {
public:
    virtual ~ProgramEnd() = default;
    virtual void endProgram() = 0;
};

class QtProgramEnd final : public ProgramEnd {
public:
    explicit QtProgramEnd(QWidget *window = nullptr) : m_window(window) {}
    void setWindow(QWidget *window) { m_window = window; }
    [[noreturn]] void endProgram() override;

private:
    QWidget *m_window;
};

} // namespace kestrel
