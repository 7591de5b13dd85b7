// Whole update benchmark: the real wizard (bench_e2e_wizard, a child process: click on
// CmdUpdate to the caption "Terminer") against `curl -s -o FILE --cacert CA URL` followed by
// `bsdtar -xf FILE -C DIR` and `sync -f DIR` (the installation forces its files to disk), both
// taking the same stored zip from the local update service on 127.0.0.1, in alternating rounds
// of one run. Each round's installed files are compared
// byte for byte with bsdtar's.
//
//   bench_e2e [--rounds N] [--size-mib M] [--server python|nginx] [--small-files N]

#include "support/BenchSupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace kestrel;

using kestrel::bench::median;
using kestrel::bench::Run;
using kestrel::bench::runChild;
using kestrel::bench::writeRandomFile;

namespace {

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

double maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// key=value lines; a key given several times keeps its values one per line.
std::map<QString, QString> readKeyValues(const QString &path)
{
    std::map<QString, QString> values;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n')) {
            const qsizetype eq = line.indexOf('=');
            if (eq <= 0)
                continue;
            QString &value = values[QString::fromUtf8(line.left(eq))];
            if (!value.isEmpty())
                value += QLatin1Char('\n');
            value += QString::fromUtf8(line.mid(eq + 1));
        }
    return values;
}

struct Entry {
    QString name;
    qint64 size;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const auto [rounds, sizeMiB, serverKind] = kestrel::bench::parseRoundsAndSize(app.arguments());
    // The wizard's window is drawn off screen; Qt reads this itself.
    qputenv("QT_QPA_PLATFORM", "offscreen");

    // A few large incompressible files, stored without compression; or, with --small-files N,
    // N top-level files of 512 bytes beside a 64 KiB kestrel11.exe.
    const qint64 mib = 1024 * 1024;
    const qsizetype smallAt = app.arguments().indexOf(QStringLiteral("--small-files"));
    const int smallFiles = smallAt > 0 ? app.arguments().value(smallAt + 1).toInt() : 0;
    const qint64 exeSize = smallFiles > 0 ? 64 * 1024 : 4 * mib;
    const qint64 dataSize = (sizeMiB * mib - exeSize) / 3;
    std::vector<Entry> entries{{QStringLiteral("kestrel11.exe"), exeSize}};
    for (int i = 0; i < smallFiles; ++i)
        entries.push_back({QStringLiteral("petit-%1.txt").arg(i, 5, 10, QLatin1Char('0')), 512});
    if (smallFiles == 0)
        entries.insert(entries.end(), {{QStringLiteral("donnees-1.bin"), dataSize},
                                       {QStringLiteral("donnees-2.bin"), dataSize},
                                       {QStringLiteral("donnees-3.bin"), sizeMiB * mib - exeSize - 2 * dataSize}});

    QTemporaryDir dir(QStringLiteral("/tmp/bench-e2e-XXXXXX"));
    const QString content = dir.filePath(QStringLiteral("content"));
    const QString served = dir.filePath(QStringLiteral("served"));
    const QString state = dir.filePath(QStringLiteral("state"));
    QDir().mkpath(content);
    QDir().mkpath(served);
    QDir().mkpath(state);
    const QString package = served + QStringLiteral("/package.zip");
    bool prepared = dir.isValid() && writeText(served + QStringLiteral("/version.txt"), "11.0.27\n");
    std::vector<std::string> zip{"bsdtar", "-cf", package.toStdString(), "--format", "zip",
                                 "--options", "zip:compression=store", "-C", content.toStdString()};
    quint32 seed = 20261206;
    for (const Entry &e : entries) {
        prepared = prepared && writeRandomFile(content + QLatin1Char('/') + e.name, e.size, seed++);
        zip.push_back(e.name.toStdString());
    }
    prepared = prepared && runChild(zip).ok;
    QDir(content).removeRecursively();
    if (!prepared) {
        std::fprintf(stderr, "cannot prepare the package in %s\n", qPrintable(dir.path()));
        return 1;
    }
    const qint64 packageSize = QFileInfo(package).size();

    kestrel::bench::PackageServer server;
    const std::optional<int> port = server.start(serverKind, served, state);
    if (!port) {
        std::fprintf(stderr, "the %s server did not start\n", qPrintable(serverKind));
        return 1;
    }
    const std::string ca = QDir(state).filePath(QStringLiteral("ca.pem")).toStdString();
    const std::string baseUrl = "https://127.0.0.1:" + std::to_string(*port) + "/vb6/v1/softwares/";
    const std::string packageUrl = baseUrl + "kestrel11/download";

    std::printf("package: %lld bytes (%.1f MiB), %zu stored entries; %s server on port %d\n",
                static_cast<long long>(packageSize), static_cast<double>(packageSize) / mib, entries.size(),
                qPrintable(serverKind), *port);
    std::printf("(waits: milliseconds after the click, +length in ms, phase; UI thread: time on a processor / "
                "time runnable but waiting for one, per phase)\n");
    std::printf("round  first      reference s  wizard s  wizard MiB (VmHWM / ru_maxrss)  "
                "stall ms: download max/p99  install max/p99  longest (phases)  "
                "wizard phases s: to installation, installation\n");
    std::fflush(stdout);

    std::vector<double> refTimes, plainTimes, wizTimes, downloadMax, downloadP99, installMax, installP99, stalls;
    std::vector<double> downloadCount, installCount;
    long peakHwm = 0, peakMaxrss = 0;
    bool allOk = true;
    for (int round = 0; round < rounds; ++round) {
        const QString roundDir = dir.filePath(QStringLiteral("round-%1").arg(round + 1));
        const QString appFolder = roundDir + QStringLiteral("/app");
        const QString refFolder = roundDir + QStringLiteral("/reference");
        const QString refZip = roundDir + QStringLiteral("/reference.zip");
        const QString wizardOut = roundDir + QStringLiteral("/wizard.txt");
        QDir().mkpath(appFolder);
        QDir().mkpath(refFolder);
        writeText(appFolder + QStringLiteral("/kestrel11.exe"), "ancienne version\n");
        writeText(appFolder + QStringLiteral("/notes-utilisateur.txt"), "à garder\n");

        Run wizard, curl, extract;
        double refSeconds = 0;
        double plainSeconds = 0;  // curl + bsdtar, without the sync
        auto runWizard = [&] {
            wizard = runChild({KESTREL_BENCH_WIZARD, "--base-url", baseUrl, "--ca", ca, "--program-folder",
                               appFolder.toStdString()},
                              wizardOut.toStdString());
        };
        auto runReference = [&] {
            const auto start = std::chrono::steady_clock::now();
            curl = runChild({"curl", "--http1.1", "-s", "-o", refZip.toStdString(), "--cacert", ca, packageUrl});
            extract = runChild({"bsdtar", "-xf", refZip.toStdString(), "-C", refFolder.toStdString()});
            plainSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            // The installation forces its files to disk; the fair reference does as much.
            extract.ok = extract.ok && runChild({"sync", "-f", refFolder.toStdString()}).ok;
            refSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        const bool wizardFirst = round % 2 == 0;
        if (wizardFirst) {
            runWizard();
            runReference();
        } else {
            runReference();
            runWizard();
        }

        auto out = readKeyValues(wizardOut);
        bool ok = wizard.ok && curl.ok && extract.ok && out[QStringLiteral("ok")] == QLatin1String("1")
            && QFileInfo::exists(appFolder + QStringLiteral("/notes-utilisateur.txt"))
            && !QFileInfo::exists(appFolder + QStringLiteral("/updates/maj_kestrel11_11.0.27.zip"));
        // One comparison of the two trees, past the user's file and the updates folder.
        ok = ok
            && runChild({"diff", "-rq", "--exclude=notes-utilisateur.txt", "--exclude=updates", appFolder.toStdString(),
                         refFolder.toStdString()})
                   .ok;
        allOk = allOk && ok;

        const double wizSeconds = out[QStringLiteral("click_to_finish_ms")].toDouble() / 1000.0;
        const long hwm = out[QStringLiteral("vmhwm_kib")].toLong();
        auto num = [&](const char *key) { return out[QString::fromLatin1(key)].toDouble(); };
        std::printf("%5d  %-9s  %11.2f  %8.2f  %10ld / %-8ld  %17.1f/%-6.1f  %9.1f/%-6.1f  %.1f (%s)  %.2f, %.2f%s\n", round + 1,
                    wizardFirst ? "wizard" : "reference", refSeconds, wizSeconds, hwm / 1024, wizard.peakKiB / 1024,
                    num("download_max_gap_ms"), num("download_p99_gap_ms"), num("install_max_gap_ms"),
                    num("install_p99_gap_ms"), num("longest_stall_ms"),
                    qPrintable(out[QStringLiteral("longest_stall_phases")]), num("install_start_ms") / 1000,
                    (num("install_end_ms") - num("install_start_ms")) / 1000, ok ? "" : "  FAILED");
        std::printf("         UI thread, download: %.0f ms on a processor, %.0f ms waiting for one; "
                    "installation: %.0f / %.0f ms\n",
                    num("download_ui_cpu_ms"), num("download_ui_runqueue_ms"), num("install_ui_cpu_ms"),
                    num("install_ui_runqueue_ms"));
        for (const QString &stall : out[QStringLiteral("stall_ms")].split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            std::printf("         wait of 100 ms or more at %s\n", qPrintable(stall));
        std::fflush(stdout);
        QDir(roundDir).removeRecursively();
        if (!ok)
            continue;
        refTimes.push_back(refSeconds);
        plainTimes.push_back(plainSeconds);
        wizTimes.push_back(wizSeconds);
        downloadMax.push_back(num("download_max_gap_ms"));
        downloadP99.push_back(num("download_p99_gap_ms"));
        installMax.push_back(num("install_max_gap_ms"));
        installP99.push_back(num("install_p99_gap_ms"));
        stalls.push_back(num("longest_stall_ms"));
        downloadCount.push_back(num("download_gaps"));
        installCount.push_back(num("install_gaps"));
        peakHwm = std::max(peakHwm, hwm);
        peakMaxrss = std::max(peakMaxrss, wizard.peakKiB);
    }
    if (wizTimes.empty()) {
        std::printf("no round completed\n");
        return 1;
    }
    const double ratio = median(wizTimes) / median(refTimes);
    const double sizeMiBExact = static_cast<double>(packageSize) / mib;
    const double peakMiB = static_cast<double>(std::max(peakHwm, peakMaxrss)) / 1024;
    // The reference for memory: the smallest Qt Widgets window (a label), shown off screen like
    // the wizard's and ended at its first paint; the largest of three runs.
    long bareKiB = 0;
    for (int i = 0; i < 3; ++i)
        bareKiB = std::max(bareKiB, runChild({KESTREL_BENCH_BARE_WINDOW}, "/dev/null").peakKiB);
    const double bareMiB = static_cast<double>(bareKiB) / 1024;
    std::printf("\n%zu of %d rounds completed and verified\n", wizTimes.size(), rounds);
    std::printf("median wall time: reference (curl --http1.1 + bsdtar -xf + sync -f) %.2f s, wizard click to \"Terminer\" %.2f s, "
                "ratio %.2f (goal <= 1.0: %s); against curl + bsdtar without sync (%.2f s): %.2f\n",
                median(refTimes), median(wizTimes), ratio, ratio <= 1.0 ? "met" : "NOT met", median(plainTimes),
                median(wizTimes) / median(plainTimes));
    std::printf("peak resident memory of the wizard: %.0f MiB for a package of %.0f MiB; bare Qt window %.0f MiB; "
                "wizard - bare window = %.0f MiB (goal <= 64 MiB: %s)\n",
                peakMiB, sizeMiBExact, bareMiB, peakMiB - bareMiB, peakMiB - bareMiB <= 64 ? "met" : "NOT met");
    std::printf("longest wait between event handling, download: median of rounds %.1f ms, worst %.1f ms; "
                "p99 median %.1f ms over a median of %.0f waits (goal <= 50 ms: %s)\n",
                median(downloadMax), maximum(downloadMax), median(downloadP99), median(downloadCount),
                maximum(downloadMax) <= 50 ? "met" : "NOT met");
    std::printf("longest wait between event handling, installation: median of rounds %.1f ms, worst %.1f ms; "
                "p99 median %.1f ms over a median of %.0f waits (goal <= 50 ms: %s)\n",
                median(installMax), maximum(installMax), median(installP99), median(installCount),
                maximum(installMax) <= 50 ? "met" : "NOT met");
    std::printf("longest single stall across phases: median of rounds %.1f ms, worst %.1f ms\n", median(stalls),
                maximum(stalls));
    return allOk ? 0 : 1;
}
