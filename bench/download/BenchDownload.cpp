// Download benchmark: the wizard's download step (NetGrab and the package write, run by
// bench_download_client) against `curl -s -o FILE --cacert CA URL` (whatever protocol curl
// chooses) and the same with --http1.1, all fetching the same package from the local update
// service or nginx on 127.0.0.1, in alternating rounds of one run. Each client is a child
// process measured alone: wall time, and its peak resident memory (ru_maxrss from wait4), so
// the server's memory never counts.
//
//   bench_download [--rounds N] [--size-mib M] [--server python|nginx]

#include "support/BenchSupport.h"

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

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const auto [rounds, sizeMiB, serverKind] = kestrel::bench::parseRoundsAndSize(app.arguments());
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

    kestrel::bench::PackageServer server;
    const std::optional<int> port = server.start(serverKind, served, state);
    if (!port) {
        std::fprintf(stderr, "the %s server did not start\n", qPrintable(serverKind));
        return 1;
    }
    const std::string base = "https://127.0.0.1:" + std::to_string(*port) + "/vb6/v1/softwares/";
    const std::string url = base + "kestrel11/download";
    const std::string ca = (state + QStringLiteral("/ca.pem")).toStdString();
    const std::string curlOut = dir.filePath(QStringLiteral("curl.zip")).toStdString();
    const QString clientOut = updates + QStringLiteral("/maj_kestrel11_bench.zip");

    std::printf("package %lld MiB, %d rounds, %s server, %s\n", static_cast<long long>(sizeMiB), rounds,
                qPrintable(serverKind), url.c_str());
    std::printf("round  curl s  curl 1.1 s  NetGrab s  curl MiB  NetGrab MiB\n");
    std::vector<double> curlTimes, curl11Times, grabTimes, curl11Cpu, grabCpu;
    long grabPeak = 0, curlPeak = 0;
    bool allOk = true;
    for (int round = 0; round < rounds; ++round) {
        Run curl, curl11, grab;
        auto runCurl = [&] {
            curl = runChild({"curl", "-s", "-o", curlOut, "--cacert", ca, url});
            curl11 = runChild({"curl", "-s", "--http1.1", "-o", curlOut, "--cacert", ca, url});
        };
        auto runGrab = [&] { grab = runChild({KESTREL_BENCH_CLIENT, base, ca, updates.toStdString()}); };
        if (round % 2 == 0) {
            runCurl();
            runGrab();
        } else {
            runGrab();
            runCurl();
        }
        const bool ok = curl.ok && curl11.ok && grab.ok && QFileInfo(QString::fromStdString(curlOut)).size() == size
            && QFileInfo(clientOut).size() == size;
        allOk = allOk && ok;
        QFile::remove(QString::fromStdString(curlOut));
        QFile::remove(clientOut);
        curlTimes.push_back(curl.seconds);
        curl11Times.push_back(curl11.seconds);
        curl11Cpu.push_back(curl11.cpuSeconds);
        grabCpu.push_back(grab.cpuSeconds);
        grabTimes.push_back(grab.seconds);
        curlPeak = std::max(curlPeak, curl.peakKiB);
        grabPeak = std::max(grabPeak, grab.peakKiB);
        std::printf("%5d  %6.2f  %10.2f  %9.2f  %8ld  %11ld%s\n", round + 1, curl.seconds, curl11.seconds, grab.seconds,
                    curl.peakKiB / 1024, grab.peakKiB / 1024, ok ? "" : "  FAILED");
    }
    const double ratio = median(grabTimes) / median(curlTimes);
    const double peakMiB = grabPeak / 1024.0;
    std::printf("median processor time: curl --http1.1 %.2f s, NetGrab %.2f s, ratio %.2f\n", median(curl11Cpu),
                median(grabCpu), median(grabCpu) / median(curl11Cpu));
    std::printf("median wall time: curl %.2f s, curl --http1.1 %.2f s, NetGrab %.2f s, ratio to curl %.2f "
                "(goal <= 1.25), to curl --http1.1 %.2f\n",
                median(curlTimes), median(curl11Times), median(grabTimes), ratio,
                median(grabTimes) / median(curl11Times));
    std::printf("peak resident memory: NetGrab %.0f MiB for a package of %lld MiB; curl %ld MiB\n", peakMiB,
                static_cast<long long>(sizeMiB), curlPeak / 1024);
    return allOk ? 0 : 1;
}
