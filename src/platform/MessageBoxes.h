#pragma once

#include <QString>

class QWidget;

namespace kestrel::platform {

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


} // namespace kestrel::platform
