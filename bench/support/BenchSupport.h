#pragma once

// What the benchmark programs share: statistics and the local update service.

#include <QString>

#include <optional>
#include <vector>

class QProcess;

namespace kestrel::bench {

double median(std::vector<double> values);

// Starts the local update service serving `folder` (version.txt, package.zip), with its
// certificates in `state`; answers the port it listens on, or nothing.
std::optional<int> startService(QProcess &service, const QString &folder, const QString &state);

} // namespace kestrel::bench
