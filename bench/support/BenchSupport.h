#pragma once

// What the benchmark programs share: statistics and the local update service.

#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

class QProcess;

namespace kestrel::bench {

double median(std::vector<double> values);

struct RoundsAndSize {
    int rounds = 5;
    qint64 sizeMiB = 256;
    QString server = QStringLiteral("python"); // or "nginx"
};

// "--rounds N", "--size-mib N" and "--server python|nginx" from the command line, the defaults otherwise.
RoundsAndSize parseRoundsAndSize(const QStringList &arguments);

struct Run {
    double seconds = 0;
    long peakKiB = 0; // the child's peak resident memory
    double cpuSeconds = 0; // the child's processor time, user and system: less at the mercy of other load
    bool ok = false;  // it ended with status 0
};

// Runs a program to its end, timed from outside; its standard output goes to outPath when given.
Run runChild(const std::vector<std::string> &args, const std::string &outPath = {});

// A file of incompressible bytes, the same for the same seed.
bool writeRandomFile(const QString &path, qint64 size, quint32 seed);

// Starts the local update service serving `folder` (version.txt, package.zip), with its
// certificates in `state` and `extra` arguments; answers the port it listens on, or nothing.
std::optional<int> startService(QProcess &service, const QString &folder, const QString &state,
                                const QStringList &extra = {});

// The update service's two resources served from `folder` by "python" (the bundled service) or
// "nginx" (started here on 127.0.0.1 with the bundled service's certificates, offering HTTP/2
// and HTTP/1.1). The server stops when this goes.
class PackageServer {
public:
    ~PackageServer();
    std::optional<int> start(const QString &kind, const QString &folder, const QString &state);

private:
    QProcess *m_python = nullptr;
    QProcess *m_nginx = nullptr;
};

} // namespace kestrel::bench
