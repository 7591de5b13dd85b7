#pragma once

#include <QString>

namespace kestrel::core {

struct SupportContacts {
    QString email;
    QString phone;
    QString website; // with its https:// scheme
};

// The support contacts of the build's configuration: the one source of the welcome page's
// contact list and of the paragraph that ends the message boxes.
SupportContacts configuredSupportContacts();

// The support paragraph that ends the message boxes; it begins with two CR LF.
QString SupportContactText();

} // namespace kestrel::core
