// What a vendor key costs a whole update: the real wizard (bench_e2e_wizard, click to
// "Terminer") with and without a public key, against one local update service that signs its
// records, in alternating order within each round of one run.
//
//   bench_signed [--rounds N] [--size-mib M]

#include "support/BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <string>
#include <vector>

using namespace kestrel::bench;

namespace {

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// One update into a fresh folder; its click-to-"Terminer" seconds, or a negative number on failure.
double updateOnce(const QString &roundDir, const std::vector<std::string> &common, const QString &key)
{
    const QString app = roundDir + (key.isEmpty() ? QStringLiteral("/plain") : QStringLiteral("/signed"));
    QDir().mkpath(app);
    writeText(app + QStringLiteral("/kestrel11.exe"), "ancienne version\n");
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--program-folder", app.toStdString()});
    if (!key.isEmpty())
        args.insert(args.end(), {"--public-key", key.toStdString()});
    const QString out = roundDir + QStringLiteral("/wizard.txt");
    const Run run = runChild(args, out.toStdString());
    QFile file(out);
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    double ms = -1;
    for (const QByteArray &line : text.split('\n'))
        if (line.startsWith("click_to_finish_ms="))
            ms = line.mid(19).toDouble();
    const bool ok = run.ok && text.contains("\nok=1") && QFileInfo(app + QStringLiteral("/donnees.bin")).exists();
    QDir(app).removeRecursively();
    return ok ? ms / 1000.0 : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const auto [rounds, sizeMiB, serverKind] = parseRoundsAndSize(app.arguments());
    qputenv("QT_QPA_PLATFORM", "offscreen");

    QTemporaryDir dir(QStringLiteral("/tmp/bench-signed-XXXXXX"));
    const QString served = dir.filePath(QStringLiteral("served")), state = dir.filePath(QStringLiteral("state"));
    const QString content = dir.filePath(QStringLiteral("content")), keyFile = dir.filePath(QStringLiteral("vendor.pem"));
    QDir().mkpath(served);
    QDir().mkpath(content);
    QDir().mkpath(state);
    QProcess maker;
    maker.start(QStringLiteral("python3"), {QStringLiteral(KESTREL_UPDATE_SERVICE_SCRIPT),
                                            QStringLiteral("--make-signing-key"), keyFile});
    const bool made = maker.waitForFinished(60000) && maker.exitCode() == 0;
    const QString key = QString::fromLatin1(maker.readAllStandardOutput().trimmed());
    const bool prepared = made && writeText(served + QStringLiteral("/version.txt"), "11.0.27\n")
        && writeRandomFile(content + QStringLiteral("/donnees.bin"), sizeMiB * 1024 * 1024, 20261207)
        && writeText(content + QStringLiteral("/kestrel11.exe"), "nouvelle version\n")
        && runChild({"bsdtar", "-cf", (served + QStringLiteral("/package.zip")).toStdString(), "--format", "zip",
                     "--options", "zip:compression=store", "-C", content.toStdString(), "kestrel11.exe",
                     "donnees.bin"})
               .ok;
    QDir(content).removeRecursively();
    QProcess service;
    const auto port = prepared ? startService(service, served, state, {QStringLiteral("--signing-key"), keyFile})
                               : std::nullopt;
    if (!port) {
        std::fprintf(stderr, "cannot prepare the package, the key or the service in %s\n", qPrintable(dir.path()));
        return 1;
    }
    const std::string ca = QDir(state).filePath(QStringLiteral("ca.pem")).toStdString();
    const std::string baseUrl = "https://127.0.0.1:" + std::to_string(*port) + "/vb6/v1/softwares/";
    // The service hashes the package once, at the first record request: not inside a measured run.
    runChild({"curl", "-s", "-o", "/dev/null", "--cacert", ca, baseUrl + "kestrel11"});
    const std::vector<std::string> common{KESTREL_BENCH_WIZARD, "--base-url", baseUrl, "--ca", ca};

    std::printf("package: %lld MiB stored; round, first run, without key s, with key s, ratio\n",
                static_cast<long long>(sizeMiB));
    std::vector<double> plain, withKey, ratios;
    for (int round = 0; round < rounds; ++round) {
        const QString roundDir = dir.filePath(QStringLiteral("round-%1").arg(round + 1));
        const bool plainFirst = round % 2 == 0;
        const double first = updateOnce(roundDir, common, plainFirst ? QString() : key);
        const double second = updateOnce(roundDir, common, plainFirst ? key : QString());
        const double p = plainFirst ? first : second, s = plainFirst ? second : first;
        std::printf("%5d  %-11s  %6.2f  %6.2f  %5.3f%s\n", round + 1, plainFirst ? "without key" : "with key", p, s,
                    s / p, p > 0 && s > 0 ? "" : "  FAILED");
        std::fflush(stdout);
        if (p > 0 && s > 0) {
            plain.push_back(p);
            withKey.push_back(s);
            ratios.push_back(s / p);
        }
    }
    service.terminate();
    service.waitForFinished(10000);
    if (ratios.empty())
        return 1;
    std::printf("\n%zu of %d rounds verified; median without key %.2f s, with key %.2f s; median of the round "
                "ratios %.3f (goal <= 1.03: %s)\n",
                ratios.size(), rounds, median(plain), median(withKey), median(ratios),
                median(ratios) <= 1.03 ? "met" : "NOT met");
    return ratios.size() == static_cast<size_t>(rounds) ? 0 : 1;
}
