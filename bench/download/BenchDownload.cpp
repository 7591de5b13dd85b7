// Download benchmark: the wizard's download step (NetGrab and the package write, run by
// bench_download_client) against `curl -s -o FILE --cacert CA URL`, both fetching the same
// package from the local update service on 127.0.0.1, in alternating rounds of one run.
// Each client is a child process measured alone: wall time, and its peak resident memory
// (ru_maxrss from wait4), so the server's memory never counts.
//
//   bench_download [--rounds N] [--size-mib M]

#include "BenchSupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

using kestrel::bench::median;
using kestrel::bench::startService;

namespace {

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

Run runChild(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return {};
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return {};
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

bool writePackage(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator random(20261206);
    for (qint64 written = 0; written < size; written += block.size()) {
        random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        const qint64 n = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), n) != n)
            return false;
    }
    return true;
}



} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rounds = 5;
    qint64 sizeMiB = 256;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--rounds"))
            rounds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--size-mib"))
            sizeMiB = args[i + 1].toLongLong();
    }
    const qint64 size = sizeMiB * 1024 * 1024;

    QTemporaryDir dir;
    const QString served = dir.filePath(QStringLiteral("served"));
    const QString state = dir.filePath(QStringLiteral("state"));
    const QString updates = dir.filePath(QStringLiteral("updates"));
    QDir().mkpath(served);
    QDir().mkpath(state);
    QFile version(served + QStringLiteral("/version.txt"));
    if (!dir.isValid() || !version.open(QIODevice::WriteOnly) || version.write("11.0.0\n") < 0
        || !writePackage(served + QStringLiteral("/package.zip"), size)) {
        std::fprintf(stderr, "cannot prepare the package in %s\n", qPrintable(dir.path()));
        return 1;
    }
    version.close();

    QProcess service;
    const std::optional<int> port = startService(service, served, state);
    if (!port) {
        std::fprintf(stderr, "the update service did not start\n");
        return 1;
    }
    const std::string base = "https://127.0.0.1:" + std::to_string(*port) + "/vb6/v1/softwares/";
    const std::string url = base + "kestrel11/download";
    const std::string ca = (state + QStringLiteral("/ca.pem")).toStdString();
    const std::string curlOut = dir.filePath(QStringLiteral("curl.zip")).toStdString();
    const QString clientOut = updates + QStringLiteral("/maj_kestrel11_bench.zip");

    std::printf("package %lld MiB, %d rounds, %s\n", static_cast<long long>(sizeMiB), rounds, url.c_str());
    std::printf("round  curl s  NetGrab s  curl MiB  NetGrab MiB\n");
    std::vector<double> curlTimes, grabTimes;
    long grabPeak = 0, curlPeak = 0;
    bool allOk = true;
    for (int round = 0; round < rounds; ++round) {
        Run curl, grab;
        auto runCurl = [&] { curl = runChild({"curl", "-s", "-o", curlOut, "--cacert", ca, url}); };
        auto runGrab = [&] { grab = runChild({KESTREL_BENCH_CLIENT, base, ca, updates.toStdString()}); };
        if (round % 2 == 0) {
            runCurl();
            runGrab();
        } else {
            runGrab();
            runCurl();
        }
        const bool ok = curl.ok && grab.ok && QFileInfo(QString::fromStdString(curlOut)).size() == size
            && QFileInfo(clientOut).size() == size;
        allOk = allOk && ok;
        QFile::remove(QString::fromStdString(curlOut));
        QFile::remove(clientOut);
        curlTimes.push_back(curl.seconds);
        grabTimes.push_back(grab.seconds);
        curlPeak = std::max(curlPeak, curl.peakKiB);
        grabPeak = std::max(grabPeak, grab.peakKiB);
        std::printf("%5d  %6.2f  %9.2f  %8ld  %11ld%s\n", round + 1, curl.seconds, grab.seconds,
                    curl.peakKiB / 1024, grab.peakKiB / 1024, ok ? "" : "  FAILED");
    }
    service.terminate();
    service.waitForFinished(10000);

    const double ratio = median(grabTimes) / median(curlTimes);
    const double peakMiB = grabPeak / 1024.0;
    std::printf("median wall time: curl %.2f s, NetGrab %.2f s, ratio %.2f (goal <= 1.25)\n",
                median(curlTimes), median(grabTimes), ratio);
    std::printf("peak resident memory: NetGrab %.0f MiB = package + %.0f MiB (goal <= package + 64 MiB); curl %ld MiB\n",
                peakMiB, peakMiB - sizeMiB, curlPeak / 1024);
    return allOk ? 0 : 1;
}
