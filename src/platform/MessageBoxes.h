#pragma once

#include <QString>

class QWidget;

namespace kestrel {

enum class BoxIcon { Critical, Information };
enum class BoxButtons { Ok, AbortRetryIgnore };
enum class BoxAnswer { Ok, Abort, Retry, Ignore };

// Modal message boxes. Texts use CR LF line breaks; the answer is the button pressed.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual BoxAnswer show(const QString &text, const QString &title, BoxIcon icon,
                           BoxButtons buttons) = 0;
};

// QMessageBox with French button labels, modal over the given window.
class QtMessageBoxes final : public MessageBoxes {
public:
    explicit QtMessageBoxes(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }
    BoxAnswer show(const QString &text, const QString &title, BoxIcon icon,
                   BoxButtons buttons) override;

private:
    QWidget *m_parent;
};

} // namespace kestrel
