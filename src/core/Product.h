#pragma once

// The application this wizard updates. Plain UTF-8 text, so that the package engine, which
// has no Qt, names the product from the same constants as the window.

namespace kestrel::core {

inline constexpr char kDisplayName[] = "Kestrel 11";
inline constexpr char kExeName[] = "kestrel11.exe";
inline constexpr char kSoftwareId[] = "kestrel11";

inline constexpr char CRLF[] = "\r\n";

} // namespace kestrel::core
