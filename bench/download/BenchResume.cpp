// Resuming benchmark: the download step (bench_download_client) fetching a package from the
// bundled update service on 127.0.0.1 in one go, against the same package cut at half by the
// service and taken up by a second run, which asks for the rest. Alternating rounds of one run;
// time is each client's wall time (summed over the two runs when cut), bytes are the body bytes
// the clients received.
//
//   bench_resume [--rounds N] [--size-mib M]

#include "support/BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <string>
#include <vector>

using kestrel::bench::median;
using kestrel::bench::Run;
using kestrel::bench::runChild;

namespace {

qint64 readCount(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const auto options = kestrel::bench::parseRoundsAndSize(app.arguments());
    const qint64 size = options.sizeMiB * 1024 * 1024;
    QTemporaryDir dir;
    const QString served = dir.filePath(QStringLiteral("served"));
    const QString state = dir.filePath(QStringLiteral("state"));
    const QString control = dir.filePath(QStringLiteral("control.json"));
    const QString updates = dir.filePath(QStringLiteral("updates"));
    QDir().mkpath(served);
    QDir().mkpath(state);
    QFile version(served + QStringLiteral("/version.txt"));
    if (!version.open(QIODevice::WriteOnly) || version.write("11.0.0\n") < 0
        || !kestrel::bench::writeRandomFile(served + QStringLiteral("/package.zip"), size, 20261207))
        return 1;
    version.close();
    QProcess service;
    const auto port = kestrel::bench::startService(service, served, state, {QStringLiteral("--control"), control});
    if (!port)
        return 1;
    const std::string base = "https://127.0.0.1:" + std::to_string(*port) + "/vb6/v1/softwares/";
    const std::string ca = (state + QStringLiteral("/ca.pem")).toStdString();
    const QString count = dir.filePath(QStringLiteral("count"));
    const QString stored = updates + QStringLiteral("/maj_kestrel11_bench.zip");
    auto client = [&](qint64 &bytes) {
        const Run run = runChild({KESTREL_BENCH_CLIENT, base, ca, updates.toStdString()}, count.toStdString());
        bytes += readCount(count);
        return run;
    };
    auto setDrop = [&](qint64 at) {
        QFile file(control);
        file.open(QIODevice::WriteOnly);
        file.write(at < 0 ? "{}" : "{\"download_drop_after\": " + QByteArray::number(at) + "}");
    };

    std::printf("package %lld MiB, %d rounds\nround  whole s  whole MiB  cut+resumed s  cut+resumed MiB\n",
                static_cast<long long>(options.sizeMiB), options.rounds);
    std::vector<double> wholeTimes, resumedTimes, wholeBytes, resumedBytes, wholeCpu, resumedCpu;
    bool allOk = true;
    for (int round = 0; round < options.rounds; ++round) {
        qint64 whole = 0, resumed = 0;
        Run plain, cut, rest;
        auto runWhole = [&] {
            setDrop(-1);
            plain = client(whole);
            QFile::remove(stored);
        };
        auto runCut = [&] {
            setDrop(size / 2);
            cut = client(resumed);
            setDrop(-1);
            rest = client(resumed);
            allOk = allOk && !cut.ok && QFile(stored).size() == size;
            QFile::remove(stored);
        };
        if (round % 2 == 0) {
            runWhole();
            runCut();
        } else {
            runCut();
            runWhole();
        }
        allOk = allOk && plain.ok && rest.ok;
        wholeTimes.push_back(plain.seconds);
        resumedTimes.push_back(cut.seconds + rest.seconds);
        wholeCpu.push_back(plain.cpuSeconds);
        resumedCpu.push_back(cut.cpuSeconds + rest.cpuSeconds);
        wholeBytes.push_back(static_cast<double>(whole));
        resumedBytes.push_back(static_cast<double>(resumed));
        std::printf("%5d  %7.2f  %9.1f  %13.2f  %15.1f\n", round + 1, plain.seconds, whole / 1048576.0,
                    cut.seconds + rest.seconds, resumed / 1048576.0);
    }
    std::printf("median ratio cut+resumed / whole: wall time %.2f, bytes received %.3f (goal <= 1.1 for both); "
                "client processor time %.2f%s\n",
                median(resumedTimes) / median(wholeTimes), median(resumedBytes) / median(wholeBytes),
                median(resumedCpu) / median(wholeCpu), allOk ? "" : "  FAILED");
    service.terminate();
    service.waitForFinished();
    return allOk ? 0 : 1;
}
