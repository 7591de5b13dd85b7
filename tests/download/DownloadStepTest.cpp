#include "DownloadStep.h"
#include "FakeStepHost.h"
#include "NetGrab.h"
#include "SupportContact.h"
#include "TestHttpsServer.h"
#include "TestKit.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

const QByteArray kPackageRoute = "/vb6/v1/softwares/kestrel11/download";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The step on a stand-in window, wired to a real control as the main window wires it.
class StepHarness {
public:
    explicit StepHarness(HttpSettings http = {})
    {
        host.ctx.appFolder = dir.path() + QLatin1Char('/');
        host.ctx.updatesFolder = host.ctx.appFolder + QStringLiteral("updates/");
        host.ctx.packageFileName = QStringLiteral("maj_kestrel11_2.0.0.zip");
        http.trustedCa = TestHttpsServer::caCertificates();
        host.service = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"), http, {}};
        grab = std::make_unique<NetGrab>(network, http);
        host.ctx.grbDownload = grab.get();
        QObject::connect(grab.get(), &NetGrab::DownloadProgress, grab.get(), [this](float p) {
            insideProgress = true;
            onDownloadProgress(host, p);
            insideProgress = false;
        });
        QObject::connect(grab.get(), &NetGrab::DownloadComplete, grab.get(),
                         [this](qint32) { onDownloadComplete(host, *grab, package); });
        QObject::connect(grab.get(), &NetGrab::DownloadFailed, grab.get(), [this](qint32 n, const QString &d) {
            reportedDescription = d;
            onDownloadFailed(host, n, d, package);
        });
    }

    // What a click at step 2 does; then waits for the handler that enables the button.
    void run()
    {
        host.buttonEnabled = 0;
        EXPECT_FALSE(StartDownload(host, *grab, package));
        ASSERT_TRUE(waitUntil([this] { return host.buttonEnabled > 0; }));
        settle(100ms);
        EXPECT_EQ(host.buttonEnabled, 1);
    }

    QString packagePath() const { return host.ctx.updatesFolder + host.ctx.packageFileName; }
    QStringList updatesEntries() const
    {
        return QDir(host.ctx.updatesFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir dir;
    FakeStepHost host;
    TestHttpsServer server;
    QNetworkAccessManager network;
    std::unique_ptr<NetGrab> grab;
    platform::PackageFile package;
    QString reportedDescription;
    bool insideProgress = false;
};

TEST(DownloadStep, CompleteDownloadStoresExactlyTheBodyThenHandsOver)
{
    const QByteArray olderFiles[] = {{}, QByteArray(10000, 'X')}; // left at the package path by an earlier run
    for (const QByteArray &olderFile : olderFiles) {
        SCOPED_TRACE(olderFile.size());
        StepHarness s;
        ASSERT_TRUE(QDir().mkdir(s.host.ctx.updatesFolder));
        ASSERT_TRUE(writeFile(s.host.ctx.updatesFolder + QStringLiteral("autre.txt"), "garder"));
        if (!olderFile.isEmpty()) {
            ASSERT_TRUE(writeFile(s.packagePath(), olderFile));
        }
        ScriptedReply reply;
        reply.pieces = {patternBytes(250), patternBytes(750, 1)};
        reply.pieceDelay = 150ms;
        s.server.setReply(kPackageRoute, reply);
        const QByteArray body = reply.pieces[0] + reply.pieces[1];
        bool fileReadyWhenHandedOver = false;
        s.host.onTriggerNextStep = [&] {
            fileReadyWhenHandedOver = readFile(s.packagePath()) == body && s.host.buttonEnabled == 0
                && s.host.stepsCompleted == 1;
        };
        s.run();

        EXPECT_EQ(s.host.ctx.packagePath, s.packagePath());
        ASSERT_EQ(s.server.requestCount(), 1);
        EXPECT_EQ(s.server.requests()[0].path, kPackageRoute);
        EXPECT_TRUE(fileReadyWhenHandedOver);
        EXPECT_EQ(s.host.nextStepsTriggered, 1);
        EXPECT_TRUE(s.host.boxes.shown.empty());
        EXPECT_EQ(s.host.bar.max(), 100.1F);
        EXPECT_EQ(s.host.bar.values, (std::vector<float>{0, 25, 100, 100}));
        EXPECT_EQ(s.host.bar.refused, 0);
        EXPECT_EQ(s.updatesEntries(), (QStringList{QStringLiteral("autre.txt"), s.host.ctx.packageFileName}));
    }
}

// One box tells each failure, with the number and description the control reported, and no
// file is left behind but what was there: the step neither completes nor hands over.
TEST(DownloadStep, FailuresShowOneBoxAndLeaveNoFile)
{
    ScriptedReply dropped = ScriptedReply::text(200, "OK", patternBytes(5000), "application/zip");
    dropped.dropAfterBodyBytes = 2000;
    const auto told = [](qint32 number, const QString &description) {
        return QStringLiteral("Erreur lors du téléchargement de la mise à jour : ") + QString::number(number)
            + QLatin1Char(' ') + description;
    };
    const struct {
        const char *name;
        ScriptedReply reply;
        std::function<void(StepHarness &)> prepare;
        std::function<QString(const StepHarness &)> textStart;
        int requests;
    } rows[] = {
        {"empty body", ScriptedReply::text(200, "OK", {}, "application/zip"), [](StepHarness &) {},
         [](const StepHarness &) { return QStringLiteral("Erreur lors du téléchargement de la mise à jour."); }, 1},
        {"404", ScriptedReply::text(404, "Not Found", "absent", "text/plain"), [](StepHarness &) {},
         [&](const StepHarness &) { return told(404, QStringLiteral("Not Found")); }, 1},
        {"connection dropped mid-body", dropped, [](StepHarness &) {},
         [&](const StepHarness &s) { return told(QNetworkReply::RemoteHostClosedError, s.reportedDescription); }, 1},
        {"updates folder blocked by a file", dropped,
         [](StepHarness &s) { writeFile(s.host.ctx.appFolder + QStringLiteral("updates"), "pas un dossier"); },
         [&](const StepHarness &) { return told(kPackageStoreFailed, QStringLiteral("Impossible de créer le dossier")); }, 0},
        {"updates folder is a link", dropped,
         [](StepHarness &s) {
             QDir(s.host.ctx.appFolder).mkdir(QStringLiteral("ailleurs"));
             QFile::link(s.host.ctx.appFolder + QStringLiteral("ailleurs"), s.host.ctx.appFolder + QStringLiteral("updates"));
         },
         [&](const StepHarness &) { return told(kPackageStoreFailed, QStringLiteral("Le dossier des mises à jour « ")); }, 0},
        {"package path taken by a folder", ScriptedReply::text(200, "OK", patternBytes(100), "application/zip"),
         [](StepHarness &s) { QDir().mkpath(s.packagePath()); },
         [&](const StepHarness &) { return told(kPackageStoreFailed, QStringLiteral("Impossible d'enregistrer le fichier")); }, 1},
        {"package name with a separator", dropped,
         [](StepHarness &s) { s.host.ctx.packageFileName = QStringLiteral("../maj.zip"); },
         [&](const StepHarness &) { return told(kPackageStoreFailed, QStringLiteral("Nom de paquet non valide")); }, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        StepHarness s;
        s.server.setReply(kPackageRoute, row.reply);
        row.prepare(s);
        s.run();
        ASSERT_EQ(s.host.boxes.shown.size(), 1u);
        const RecordedBox &box = s.host.boxes.shown[0];
        EXPECT_TRUE(box.text.startsWith(row.textStart(s))) << box.text.toStdString();
        EXPECT_TRUE(box.text.endsWith(SupportContactText()));
        EXPECT_EQ(box.title, QStringLiteral("Téléchargement de la mise à jour"));
        EXPECT_EQ(box.icon, BoxIcon::Critical);
        EXPECT_EQ(s.server.requestCount(), row.requests);
        EXPECT_EQ(s.host.stepsCompleted + s.host.nextStepsTriggered, 0);
        EXPECT_FALSE(QFileInfo(s.host.ctx.appFolder + QStringLiteral("maj.zip")).exists());
        for (const QString &entry : s.updatesEntries()) // at most what stood at the package path before
            EXPECT_EQ(entry, s.host.ctx.packageFileName);
    }
}

TEST(DownloadStep, SlowDownloadLetsPendingEventsRun)
{
    StepHarness s;
    ScriptedReply reply;
    for (int i = 0; i < 10; ++i)
        reply.pieces.append(patternBytes(500, static_cast<char>(i)));
    reply.pieceDelay = 30ms;
    s.server.setReply(kPackageRoute, reply);
    int ticksInsideProgress = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ticksInsideProgress += s.insideProgress ? 1 : 0; });
    timer.start(0);
    s.run();
    EXPECT_GT(s.host.pump.calls, 0);
    EXPECT_GT(ticksInsideProgress, 0);
    EXPECT_EQ(s.host.nextStepsTriggered, 1);
}

TEST(DownloadStep, RefusedUrlIsReportedBeforeStartDownloadReturns)
{
    StepHarness s;
    s.host.service.baseUrl.clear();
    EXPECT_FALSE(StartDownload(s.host, *s.grab, s.package));
    ASSERT_EQ(s.host.boxes.shown.size(), 1u);
    EXPECT_EQ(s.host.boxes.shown[0].text, QStringLiteral("Erreur lors du téléchargement de la mise à jour : ")
                                              + QString::number(NetGrab::kUrlRefused) + QLatin1Char(' ')
                                              + s.reportedDescription + SupportContactText());
    EXPECT_EQ(s.host.buttonEnabled, 1);
}

} // namespace
} // namespace kestrel::test
