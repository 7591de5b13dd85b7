// Runs the download step as the window does, without the window: StartDownload, then the
// control's events into the step's handlers, until the package is stored or the step fails.
//
//   bench_download_client SERVICE_BASE_URL CA_PEM UPDATES_FOLDER
//
// Exit status 0 once the package file is written, 1 otherwise.

#include "DownloadStep.h"
#include "EventPump.h"
#include "Https.h"
#include "MessageBoxes.h"
#include "NetGrab.h"
#include "ProgramEnd.h"
#include "ProgressBar.h"
#include "StepHost.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QSslCertificate>

#include <cstdio>

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SERVICE_BASE_URL CA_PEM UPDATES_FOLDER\n", argv[0]);
        return 2;
    }
    QNetworkAccessManager network;
    BenchHost host;
    host.service.network = &network;
    host.service.baseUrl = QString::fromLocal8Bit(argv[1]);
    host.service.http.trustedCa = QSslCertificate::fromPath(QString::fromLocal8Bit(argv[2]));
    host.ctx.updatesFolder = QString::fromLocal8Bit(argv[3]);
    if (!host.ctx.updatesFolder.endsWith(QLatin1Char('/')))
        host.ctx.updatesFolder += QLatin1Char('/');
    host.ctx.packageFileName = QStringLiteral("maj_kestrel11_bench.zip");

    NetGrab grab(network, host.service.http);
    download::PackageFile package;
    QObject::connect(&grab, &NetGrab::DownloadProgress, [&](float p) { onDownloadProgress(host, p); });
    QObject::connect(&grab, &NetGrab::DownloadComplete, [&](qint32) { onDownloadComplete(host, grab, package); });
    QObject::connect(&grab, &NetGrab::DownloadFailed,
                     [&](qint32 n, const QString &d) { onDownloadFailed(host, n, d, package); });
    StartDownload(host, grab, package);
    if (host.done) // refused before any network work
        return host.stored ? 0 : 1;
    return app.exec();
}
