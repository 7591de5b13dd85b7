#pragma once

// The Qt Widgets implementations of the seams through which the steps reach the window.

#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "platform/ProgressBar.h"
#include "platform/ProxyAccess.h"

class QProgressBar;
class QWidget;

namespace kestrel::wizard {

// QMessageBox with French button labels, modal over the given window.
class QtMessageBoxes final : public platform::MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }
    platform::BoxAnswer show(const QString &text, const QString &title, platform::BoxIcon icon,
                             platform::BoxButtons buttons) override;

private:
    QWidget *m_parent;
};

// Shows the float range on a QProgressBar by scaling it to a fine integer range,
// so that 1.5 of 3 and 100 of 100.1 show as such.
class QtProgressBar final : public platform::ProgressBar {
public:
    explicit QtProgressBar(QProgressBar *bar);

protected:
    void render() override;

private:
    QProgressBar *m_bar;
};

class QtProgramEnd final : public platform::ProgramEnd {
public:
    explicit QtProgramEnd(QWidget *window = nullptr) : m_window(window) {}
    void setWindow(QWidget *window) { m_window = window; }
    [[noreturn]] void endProgram() override;

private:
    QWidget *m_window;
};

// A French modal dialog over the given window; what is typed is never written anywhere.
class QtProxyCredentials final : public platform::ProxyCredentials {
public:
    explicit QtProxyCredentials(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }
    bool ask(const QString &proxy, QString &user, QString &password) override;

private:
    QWidget *m_parent;
};

} // namespace kestrel::wizard
