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
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

using kestrel::bench::median;
using kestrel::bench::Run;
using kestrel::bench::runChild;
using kestrel::bench::startService;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const auto [rounds, sizeMiB] = kestrel::bench::parseRoundsAndSize(app.arguments());
    const qint64 size = sizeMiB * 1024 * 1024;

    QTemporaryDir dir;
    const QString served = dir.filePath(QStringLiteral("served"));
    const QString state = dir.filePath(QStringLiteral("state"));
    const QString updates = dir.filePath(QStringLiteral("updates"));
    QDir().mkpath(served);
    QDir().mkpath(state);
    QFile version(served + QStringLiteral("/version.txt"));
    if (!dir.isValid() || !version.open(QIODevice::WriteOnly) || version.write("11.0.0\n") < 0
        || !kestrel::bench::writeRandomFile(served + QStringLiteral("/package.zip"), size, 20261206)) {
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
