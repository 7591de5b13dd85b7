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
                         [this](qint32) { onDownloadComplete(host, *grab); });
        QObject::connect(grab.get(), &NetGrab::DownloadFailed, grab.get(), [this](qint32 n, const QString &d) {
            reportedDescription = d;
            onDownloadFailed(host, n, d);
        });
    }

    // What a click at step 2 does; then waits for the handler that enables the button.
    void run()
    {
        EXPECT_FALSE(StartDownload(host, *grab));
        ASSERT_TRUE(waitUntil([this] { return host.buttonEnabled > 0; }));
        settle(100ms);
        EXPECT_EQ(host.buttonEnabled, 1);
    }

    // One failure box of the download's title, and the step neither completed nor handed over.
    void expectFailureBox(const QString &text)
    {
        ASSERT_EQ(host.boxes.shown.size(), 1u);
        EXPECT_EQ(host.boxes.shown[0].text, text);
        EXPECT_EQ(host.boxes.shown[0].title, QStringLiteral("Téléchargement de la mise à jour"));
        EXPECT_EQ(host.boxes.shown[0].icon, BoxIcon::Critical);
        EXPECT_EQ(host.stepsCompleted, 0);
        EXPECT_EQ(host.nextStepsTriggered, 0);
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
        if (!olderFile.isEmpty())
            ASSERT_TRUE(writeFile(s.packagePath(), olderFile));
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

TEST(DownloadStep, EmptyBodyShowsItsBoxAndWritesNothing)
{
    StepHarness s;
    s.server.setReply(kPackageRoute, ScriptedReply::text(200, "OK", {}, "application/zip"));
    s.run();
    s.expectFailureBox(QStringLiteral("Erreur lors du téléchargement de la mise à jour.") + SupportContactText());
    EXPECT_TRUE(QDir(s.host.ctx.updatesFolder).exists());
    EXPECT_TRUE(s.updatesEntries().isEmpty());
}

// The box carries the number and description the control reported, for a status as for a transport failure.
TEST(DownloadStep, FailedDownloadShowsNumberAndDescriptionAndLeavesNoFile)
{
    ScriptedReply dropped = ScriptedReply::text(200, "OK", patternBytes(5000), "application/zip");
    dropped.dropAfterBodyBytes = 2000;
    const struct {
        const char *name;
        ScriptedReply reply;
        qint32 number;
    } rows[] = {
        {"404", ScriptedReply::text(404, "Not Found", "absent", "text/plain"), 404},
        {"connection dropped mid-body", dropped, QNetworkReply::RemoteHostClosedError},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        StepHarness s;
        s.server.setReply(kPackageRoute, row.reply);
        s.run();
        EXPECT_FALSE(s.reportedDescription.isEmpty());
        s.expectFailureBox(failureText(row.number, s.reportedDescription));
        EXPECT_TRUE(s.updatesEntries().isEmpty());
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
         [](StepHarness &s) { writeFile(s.host.ctx.appFolder + QStringLiteral("updates"), "pas un dossier"); }},
        {"package path taken by a folder", QStringLiteral("Impossible d'enregistrer le fichier"), true,
         [](StepHarness &s) { QDir().mkpath(s.packagePath()); }},
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
    EXPECT_FALSE(StartDownload(s.host, *s.grab));
    s.expectFailureBox(failureText(NetGrab::kUrlRefused, s.reportedDescription));
    EXPECT_EQ(s.host.buttonEnabled, 1);
}

} // namespace
} // namespace kestrel::test
