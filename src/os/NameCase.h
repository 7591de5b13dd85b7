#pragma once

// How this system's file names compare when letter case is ignored.

#include <string>
#include <string_view>

namespace kestrel::os {

// A key under which two UTF-8 names that may name one file on a volume that ignores letter case
// are equal: each character mapped to its upper case, as Windows compares names (é and É, ı and
// I), then to the lower case of that, which also merges what case-folding volumes merge (the
// kelvin sign and k). A few names Windows keeps apart share a key; none it merges differ.
// Bytes that are not UTF-8 are kept as they are.
std::string nameCaseKey(std::string_view utf8);

} // namespace kestrel::os
