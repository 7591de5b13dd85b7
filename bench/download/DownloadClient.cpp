// Runs the download step as the window does, without the window: StartDownload, then the
// control's events into the step's handlers, until the package is stored or the step fails.
//
//   bench_download_client SERVICE_BASE_URL CA_PEM UPDATES_FOLDER
//
// Exit status 0 once the package file is written, 1 otherwise. Standard output gets the number
// of body bytes received from the network, every request counted.

#include "DownloadStep.h"
#include "EventPump.h"
#include "Https.h"
#include "MessageBoxes.h"
#include "NetGrab.h"
#include "ProgramEnd.h"
#include "ProgressBar.h"
#include "StepHost.h"

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

class PrintedBoxes final : public MessageBoxes {
public:
    BoxAnswer show(const QString &text, const QString &, BoxIcon, BoxButtons) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        return BoxAnswer::Ok;
    }
};

class QuitProgramEnd final : public ProgramEnd {
public:
    void endProgram() override { QCoreApplication::exit(1); }
};

class BenchHost final : public StepHost {
public:
    UpdateContext &context() override { return ctx; }
    ProgressBar &progressBar() override { return bar; }
    MessageBoxes &messageBoxes() override { return boxes; }
    EventPump &eventPump() override { return pump; }
    ProgramEnd &programEnd() override { return end; }
    const UpdateService &updateService() override { return service; }
    void ShowStepCompleted() override { stored = true; }
    void TriggerNextStep() override {}
    void enableActionButton() override
    {
        done = true;
        QCoreApplication::exit(stored ? 0 : 1);
    }

    UpdateContext ctx;
    ProgressBar bar;
    PrintedBoxes boxes;
    QtEventPump pump;
    QuitProgramEnd end;
    UpdateService service;
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

    NetGrab grab(network, host.service.http);
    platform::PackageFile package;
    // Where the time goes, on standard error: chunks, time inside the progress handler, phases.
    QElapsedTimer clock;
    clock.start();
    qint64 chunks = 0, handlerNs = 0, firstMs = -1, lastMs = 0;
    QObject::connect(&grab, &NetGrab::DownloadProgress, [&](float p) {
        const qint64 before = clock.nsecsElapsed();
        onDownloadProgress(host, p);
        handlerNs += clock.nsecsElapsed() - before;
        ++chunks;
        lastMs = before / 1000000;
        if (firstMs < 0)
            firstMs = lastMs;
    });
    QObject::connect(&grab, &NetGrab::DownloadComplete, [&](qint32) {
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
    QObject::connect(&grab, &NetGrab::DownloadComplete, [&](qint32) { onDownloadComplete(host, grab, package); });
    QObject::connect(&grab, &NetGrab::DownloadFailed,
                     [&](qint32 n, const QString &d) { onDownloadFailed(host, grab, n, d, package); });
    StartDownload(host, grab, package);
    const int status = host.done ? (host.stored ? 0 : 1) : app.exec(); // done: refused before any network work
    std::printf("%lld\n", static_cast<long long>(network.received));
    return status;
}
