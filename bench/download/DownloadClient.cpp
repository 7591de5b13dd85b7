// Runs the download step as the window does, without the window: StartDownload, then the
// control's events into the step's handlers, until the package is stored or the step fails.
//
//   bench_download_client SERVICE_BASE_URL CA_PEM UPDATES_FOLDER
//
// Exit status 0 once the package file is written, 1 otherwise. Standard output gets the number
// of body bytes received from the network, every request counted.

#include "core/StepHost.h"
#include "download/DownloadStep.h"
#include "download/NetGrab.h"
#include "platform/EventPump.h"
#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "platform/ProgressBar.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>

#include <cstdio>
#include <utility>

#include <sys/resource.h>

namespace {

using namespace kestrel;

class PrintedBoxes final : public platform::MessageBoxes {
public:
    platform::BoxAnswer show(const QString &text, const QString &, platform::BoxIcon, platform::BoxButtons) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        return platform::BoxAnswer::Ok;
    }
};

class QuitProgramEnd final : public platform::ProgramEnd {
public:
    void endProgram() override { QCoreApplication::exit(1); }
};

class BenchHost final : public core::StepHost {
public:
    core::UpdateContext &context() override { return ctx; }
    platform::ProgressBar &progressBar() override { return bar; }
    platform::MessageBoxes &messageBoxes() override { return boxes; }
    platform::EventPump &eventPump() override { return pump; }
    platform::ProgramEnd &programEnd() override { return end; }
    const platform::UpdateService &updateService() override { return service; }
    void ShowStepCompleted() override { stored = true; }
    void TriggerNextStep() override {}
    void enableActionButton() override
    {
        done = true;
        QCoreApplication::exit(stored ? 0 : 1);
    }

    core::UpdateContext ctx;
    platform::ProgressBar bar;
    PrintedBoxes boxes;
    platform::QtEventPump pump;
    QuitProgramEnd end;
    platform::UpdateService service;
    bool stored = false;
    bool done = false;
};

// Counts the body bytes of every reply as they arrive.
class CountingNetwork final : public QNetworkAccessManager {
public:
    qint64 received = 0;

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request, QIODevice *data) override
    {
        QNetworkReply *reply = QNetworkAccessManager::createRequest(op, request, data);
        connect(reply, &QNetworkReply::downloadProgress, this, [this, seen = qint64(0)](qint64 bytes, qint64) mutable {
            received += bytes - std::exchange(seen, bytes);
        });
        return reply;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SERVICE_BASE_URL CA_PEM UPDATES_FOLDER\n", argv[0]);
        return 2;
    }
    CountingNetwork network;
    BenchHost host;
    host.service.network = &network;
    host.service.baseUrl = QString::fromLocal8Bit(argv[1]);
    host.service.http.trustedCa = QSslCertificate::fromPath(QString::fromLocal8Bit(argv[2]));
    host.ctx.updatesFolder = QString::fromLocal8Bit(argv[3]);
    if (!host.ctx.updatesFolder.endsWith(QLatin1Char('/')))
        host.ctx.updatesFolder += QLatin1Char('/');
    host.ctx.packageFileName = QStringLiteral("maj_kestrel11_bench.zip");

    download::NetGrab grab(network, host.service.http);
    download::DownloadStep step(host, grab);
    // Where the time goes, on standard error: chunks, time inside the progress handler, phases.
    QElapsedTimer clock;
    clock.start();
    qint64 chunks = 0, handlerNs = 0, firstMs = -1, lastMs = 0;
    QObject::connect(&grab, &download::NetGrab::DownloadProgress, [&](float p) {
        const qint64 before = clock.nsecsElapsed();
        step.grbDownload_DownloadProgress(p);
        handlerNs += clock.nsecsElapsed() - before;
        ++chunks;
        lastMs = before / 1000000;
        if (firstMs < 0)
            firstMs = lastMs;
    });
    QObject::connect(&grab, &download::NetGrab::DownloadComplete, [&](qint32) {
        rusage thread{}, process{};
        getrusage(RUSAGE_THREAD, &thread);
        getrusage(RUSAGE_SELF, &process);
        const auto ms = [](const timeval &t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
        std::fprintf(stderr, "progress events %lld, %.0f ms in their handler; first at %lld ms, last at %lld ms, "
                     "complete at %lld ms; processor: UI thread %.0f ms, whole process %.0f ms\n",
                     static_cast<long long>(chunks), handlerNs / 1e6, static_cast<long long>(firstMs),
                     static_cast<long long>(lastMs), static_cast<long long>(clock.elapsed()),
                     ms(thread.ru_utime) + ms(thread.ru_stime), ms(process.ru_utime) + ms(process.ru_stime));
    });
    QObject::connect(&grab, &download::NetGrab::DownloadComplete, [&](qint32 n) { step.grbDownload_DownloadComplete(n); });
    QObject::connect(&grab, &download::NetGrab::DownloadFailed,
                     [&](qint32 n, const QString &d) { step.grbDownload_DownloadFailed(n, d); });
    step.StartDownload();
    const int status = host.done ? (host.stored ? 0 : 1) : app.exec(); // done: refused before any network work
    std::printf("%lld\n", static_cast<long long>(network.received));
    return status;
}
