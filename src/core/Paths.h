#pragma once

// Paths and file names as the steps hand them to the operating-system code.

#include <QString>

#include <filesystem>

namespace kestrel::core {

// The path of a folder or file of the update context, for the operating-system code.
std::filesystem::path toPath(const QString &text);

// True for a text that names one file in one folder on every system: not empty, no separator,
// no character Windows refuses, no control character, no blank at either end nor final dot,
// not "." or "..".
bool isPlainFileName(const QString &text);

} // namespace kestrel::core
