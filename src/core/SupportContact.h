#pragma once

#include <QString>

namespace kestrel {

// The support paragraph that ends the message boxes; it begins with two CR LF.
QString SupportContactText();

} // namespace kestrel
