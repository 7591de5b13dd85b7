#include "DownloadKit.h"
#include "DownloadStep.h"
#include "FakeStepHost.h"
#include "SupportContact.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

const QByteArray kPackageRoute = "/vb6/v1/softwares/kestrel11/download";
const QString kTitle = QStringLiteral("Téléchargement de la mise à jour");

QString failureText(qint32 number, const QString &description)
{
    return QStringLiteral("Erreur lors du téléchargement de la mise à jour : ") + QString::number(number)
        + QLatin1Char(' ') + description + SupportContactText();
}

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
        host.service = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"), http};
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
    download::PackageFile package;
    QString reportedDescription;
    bool insideProgress = false;
};

TEST(DownloadStep, CompleteDownloadStoresExactlyTheBodyThenHandsOver)
{
    struct Row {
        const char *name;
        QByteArray olderFile; // left at the package path by an earlier run
    };
    const Row rows[] = {{"no file before", {}}, {"older, longer file", QByteArray(10000, 'X')}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        StepHarness s;
        ASSERT_TRUE(QDir().mkdir(s.host.ctx.updatesFolder));
        ASSERT_TRUE(writeFile(s.host.ctx.updatesFolder + QStringLiteral("autre.txt"), "garder"));
        if (!row.olderFile.isEmpty())
            ASSERT_TRUE(writeFile(s.packagePath(), row.olderFile));
        const QByteArray body = patternBytes(3000);
        s.server.setReply(kPackageRoute, ScriptedReply::text(200, "OK", body, "application/zip"));
        bool fileReadyWhenHandedOver = false;
        s.host.onTriggerNextStep = [&] {
            fileReadyWhenHandedOver = readFile(s.packagePath()) == body && s.host.buttonEnabled == 0
                && s.host.stepsCompleted == 1;
        };
        s.run();

        EXPECT_EQ(s.host.ctx.packagePath, s.packagePath());
        ASSERT_EQ(s.server.requestCount(), 1);
        EXPECT_EQ(s.server.requests()[0].method, "GET");
        EXPECT_EQ(s.server.requests()[0].path, kPackageRoute);
        EXPECT_EQ(readFile(s.packagePath()), body);
        EXPECT_TRUE(fileReadyWhenHandedOver);
        EXPECT_EQ(s.host.nextStepsTriggered, 1);
        EXPECT_TRUE(s.host.boxes.shown.empty());
        EXPECT_EQ(s.host.bar.min(), 0.0F);
        EXPECT_EQ(s.host.bar.max(), 100.1F);
        EXPECT_EQ(s.host.bar.values.front(), 0.0F);
        EXPECT_EQ(s.host.bar.value(), 100.0F);
        EXPECT_EQ(s.updatesEntries(), (QStringList{QStringLiteral("autre.txt"), s.host.ctx.packageFileName}));
    }
}

TEST(DownloadStep, EmptyBodyShowsItsBoxAndWritesNothing)
{
    StepHarness s;
    s.server.setReply(kPackageRoute, ScriptedReply::text(200, "OK", {}, "application/zip"));
    s.run();
    ASSERT_EQ(s.host.boxes.shown.size(), 1u);
    const RecordedBox &box = s.host.boxes.shown[0];
    EXPECT_EQ(box.text, QStringLiteral("Erreur lors du téléchargement de la mise à jour.") + SupportContactText());
    EXPECT_EQ(box.title, kTitle);
    EXPECT_EQ(box.icon, BoxIcon::Critical);
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
    EXPECT_TRUE(QDir(s.host.ctx.updatesFolder).exists());
    EXPECT_TRUE(s.updatesEntries().isEmpty());
    EXPECT_EQ(s.host.stepsCompleted, 0);
    EXPECT_EQ(s.host.nextStepsTriggered, 0);
}

TEST(DownloadStep, FailedDownloadShowsNumberAndDescriptionAndLeavesNoFile)
{
    struct Row {
        const char *name;
        qint32 number;
        QString description; // empty: Qt's own, as the control reported it
        std::function<void(StepHarness &)> prepare;
    };
    const Row rows[] = {
        {"404", 404, QStringLiteral("Not Found"), [](StepHarness &s) {
             s.server.setReply(kPackageRoute, ScriptedReply::text(404, "Not Found", "absent", "text/plain"));
         }},
        {"503", 503, QStringLiteral("Service Unavailable"), [](StepHarness &s) {
             s.server.setReply(kPackageRoute, ScriptedReply::text(503, "Service Unavailable", "", "text/plain"));
         }},
        {"connection dropped mid-body", QNetworkReply::RemoteHostClosedError, {}, [](StepHarness &s) {
             ScriptedReply reply = ScriptedReply::text(200, "OK", patternBytes(5000), "application/zip");
             reply.dropAfterBodyBytes = 2000;
             s.server.setReply(kPackageRoute, reply);
         }},
        {"connection refused", QNetworkReply::ConnectionRefusedError, {}, [](StepHarness &s) {
             s.host.service.baseUrl = QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(closedPort());
         }},
        {"stalled server", QNetworkReply::TimeoutError, {}, [](StepHarness &s) {
             ScriptedReply reply;
             reply.neverAnswer = true;
             s.server.setReply(kPackageRoute, reply);
         }},
    };
    HttpSettings quick;
    quick.inactivityTimeout = 400ms;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        StepHarness s(quick);
        row.prepare(s);
        s.run();
        const QString description = row.description.isEmpty() ? s.reportedDescription : row.description;
        EXPECT_FALSE(description.isEmpty());
        ASSERT_EQ(s.host.boxes.shown.size(), 1u);
        EXPECT_EQ(s.host.boxes.shown[0].text, failureText(row.number, description));
        EXPECT_EQ(s.host.boxes.shown[0].title, kTitle);
        EXPECT_EQ(s.host.boxes.shown[0].icon, BoxIcon::Critical);
        EXPECT_TRUE(s.updatesEntries().isEmpty());
        EXPECT_EQ(s.host.stepsCompleted, 0);
        EXPECT_EQ(s.host.nextStepsTriggered, 0);
    }
}

TEST(DownloadStep, ProgressBarNeverRefusesAValue)
{
    struct Row {
        const char *name;
        ScriptedReply::Length length;
        QByteArray raw;
        bool chunked;
        std::vector<float> expected;
    };
    const Row rows[] = {
        {"declared 1000, pieces of 250 and 750", ScriptedReply::Length::Automatic, {}, false, {0, 25, 100, 100}},
        {"chunked without length", ScriptedReply::Length::Automatic, {}, true, {0, 100}},
        {"non-numeric length", ScriptedReply::Length::Raw, "mille", false, {0, 100}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        StepHarness s;
        ScriptedReply reply;
        reply.pieces = {patternBytes(250), patternBytes(750, 1)};
        reply.pieceDelay = 150ms;
        reply.length = row.length;
        reply.rawContentLength = row.raw;
        reply.chunked = row.chunked;
        s.server.setReply(kPackageRoute, reply);
        s.run();
        if (s.host.boxes.shown.empty()) // Qt may also refuse a malformed length
            EXPECT_EQ(s.host.bar.values, row.expected);
        EXPECT_EQ(s.host.bar.refused, 0);
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

TEST(DownloadStep, StorageProblemsShowTheFailureBoxAndStopTheStep)
{
    struct Row {
        const char *name;
        QString expectedStart;
        bool requestMade;
        std::function<void(StepHarness &)> prepare;
    };
    const Row rows[] = {
        {"updates folder blocked by a file", QStringLiteral("Impossible de créer le dossier"), false,
         [](StepHarness &s) {
             writeFile(s.host.ctx.appFolder + QStringLiteral("updates"), "pas un dossier");
         }},
        {"package path taken by a folder", QStringLiteral("Impossible d'enregistrer le fichier"), true,
         [](StepHarness &s) {
             QDir().mkpath(s.packagePath());
         }},
        {"updates folder is a link", QStringLiteral("Le dossier des mises à jour « "), false, [](StepHarness &s) {
             QDir(s.host.ctx.appFolder).mkdir(QStringLiteral("ailleurs"));
             QFile::link(s.host.ctx.appFolder + QStringLiteral("ailleurs"), s.host.ctx.appFolder + QStringLiteral("updates"));
         }},
        {"package name with a separator", QStringLiteral("Nom de paquet non valide"), false,
         [](StepHarness &s) { s.host.ctx.packageFileName = QStringLiteral("../maj.zip"); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        StepHarness s;
        s.server.setReply(kPackageRoute, ScriptedReply::text(200, "OK", patternBytes(100), "application/zip"));
        row.prepare(s);
        s.run();
        ASSERT_EQ(s.host.boxes.shown.size(), 1u);
        const QString text = s.host.boxes.shown[0].text;
        EXPECT_TRUE(text.startsWith(failureText(kPackageStoreFailed, row.expectedStart).chopped(SupportContactText().size())))
            << text.toStdString();
        EXPECT_TRUE(text.endsWith(SupportContactText()));
        EXPECT_EQ(s.server.requestCount(), row.requestMade ? 1 : 0);
        EXPECT_EQ(s.host.stepsCompleted, 0);
        EXPECT_EQ(s.host.nextStepsTriggered, 0);
        EXPECT_FALSE(QFileInfo(s.host.ctx.appFolder + QStringLiteral("maj.zip")).exists());
        for (const QString &entry : s.updatesEntries()) // no temporary file left beside the package
            EXPECT_EQ(entry, s.host.ctx.packageFileName);
    }
}

TEST(DownloadStep, RefusedUrlIsReportedBeforeStartDownloadReturns)
{
    StepHarness s;
    s.host.service.baseUrl.clear();
    EXPECT_FALSE(StartDownload(s.host, *s.grab, s.package));
    ASSERT_EQ(s.host.boxes.shown.size(), 1u);
    EXPECT_EQ(s.host.boxes.shown[0].text, failureText(NetGrab::kUrlRefused, s.reportedDescription));
    EXPECT_EQ(s.host.buttonEnabled, 1);
}

TEST(DownloadStep, RetryAfterFailureResetsTheBarAndKeepsTheFolder)
{
    StepHarness s;
    s.server.setReply(kPackageRoute, ScriptedReply::text(503, "Service Unavailable", "", "text/plain"));
    s.run();
    ASSERT_TRUE(writeFile(s.host.ctx.updatesFolder + QStringLiteral("autre.txt"), "garder"));
    s.host.bar.values.clear();
    const QByteArray body = patternBytes(2000, 5);
    s.server.setReply(kPackageRoute, ScriptedReply::text(200, "OK", body, "application/zip"));
    s.run();
    EXPECT_EQ(s.host.bar.values.front(), 0.0F);
    EXPECT_EQ(readFile(s.packagePath()), body);
    EXPECT_EQ(readFile(s.host.ctx.updatesFolder + QStringLiteral("autre.txt")), "garder");
    EXPECT_EQ(s.host.nextStepsTriggered, 1);
}

} // namespace
} // namespace kestrel::test
