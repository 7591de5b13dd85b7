// The download step on a stand-in window, wired to a real control as the main window wires it.

#include "core/SupportContact.h"
#include "download/DownloadFailures.h"
#include "download/DownloadStep.h"
#include "install/steps/EarlyStaging.h"
#include "support/FakeStepHost.h"
#include "support/https/TestHttpsServer.h"
#include "support/zip/ZipBuilder.h"

#include <QCryptographicHash>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

const QByteArray kPackageRoute = "/vb6/v1/softwares/kestrel11/download";

struct StepHarness {
    StepHarness()
    {
        host.ctx.appFolder = dir.path() + QLatin1Char('/');
        host.ctx.updatesFolder = host.ctx.appFolder + QStringLiteral("updates/");
        host.ctx.packageFileName = QStringLiteral("maj_kestrel11_2.0.0.zip");
        host.service = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"), http, {}};
        QObject::connect(&grab, &download::NetGrab::DownloadProgress, &grab, [this](float p) { step.grbDownload_DownloadProgress(p); });
        QObject::connect(&grab, &download::NetGrab::DownloadComplete, &grab,
                         [this](qint32 n) { bytesAtCompletion = grab.Bytes(), step.grbDownload_DownloadComplete(n); });
        QObject::connect(&grab, &download::NetGrab::DownloadFailed, &grab,
                         [this](qint32 n, const QString &d) { step.grbDownload_DownloadFailed(n, d); });
    }

    // What a click at step 2 does, with the package served as reply; then waits for the handler that enables the button, once.
    void run(const ScriptedReply &reply)
    {
        server.setReply(kPackageRoute, reply);
        host.buttonEnabled = 0;
        EXPECT_FALSE(step.StartDownload());
        ASSERT_TRUE(waitUntil([this] { return host.buttonEnabled > 0; }));
        settle(100ms);
        EXPECT_EQ(host.buttonEnabled, 1);
    }

    QString packagePath() const { return host.ctx.updatesFolder + host.ctx.packageFileName; }
    QStringList updatesEntries() const { return QDir(host.ctx.updatesFolder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot); }

    QTemporaryDir dir;
    FakeStepHost host;
    TestHttpsServer server;
    QNetworkAccessManager network;
    const platform::HttpSettings http{.trustedCa = TestHttpsServer::caCertificates()};
    download::NetGrab grab{network, http};
    install::steps::EarlyStaging early;
    download::DownloadStep step{host, grab, &early};
    QByteArray bytesAtCompletion; // the control's Bytes, read back from the package file
};

// The package replaces an earlier run's file and is whole at the hand-over; a signed one of 3.5 MiB comes in many batches, all digested.
TEST(DownloadStep, CompleteDownloadStoresExactlyTheBodyThenHandsOver)
{
    for (const bool isSigned : {false, true}) {
        StepHarness s;
        ASSERT_TRUE(QDir().mkdir(s.host.ctx.updatesFolder));
        zip::writeFile((s.host.ctx.updatesFolder + QStringLiteral("autre.txt")).toStdString(), "garder");
        zip::writeFile(s.packagePath().toStdString(), std::string(10000, 'X'));
        const ScriptedReply reply = isSigned ? ScriptedReply{.pieces = {patternBytes(3 << 20), patternBytes(512 << 10, 1)}}
                                             : ScriptedReply{.pieces = {patternBytes(250), patternBytes(750, 1)}, .pieceDelay = 150ms};
        if (isSigned) {
            s.host.service.packagePublicKey = QStringLiteral("clé de l'éditeur");
            s.host.ctx.signedDigest = QCryptographicHash::hash(reply.pieces.join(), QCryptographicHash::Sha256);
        }
        bool readyWhenHandedOver = false;
        s.host.onTriggerNextStep = [&] {
            QFile file(s.packagePath());
            readyWhenHandedOver = file.open(QIODevice::ReadOnly) && file.readAll() == reply.pieces.join() && s.host.buttonEnabled == 0
                && s.host.stepsCompleted == 1;
        };
        s.run(reply);

        EXPECT_TRUE(s.host.boxes.shown.empty()) << s.host.boxes.shown[0].text.toStdString();
        EXPECT_EQ(s.host.ctx.packagePath, s.packagePath());
        EXPECT_EQ(s.server.requestCount(), 1);
        EXPECT_TRUE(readyWhenHandedOver) << isSigned;
        EXPECT_TRUE(s.bytesAtCompletion == reply.pieces.join()) << isSigned;
        EXPECT_EQ(s.host.nextStepsTriggered, 1);
        EXPECT_EQ(s.host.bar.max(), 100.1F);
        EXPECT_TRUE(isSigned || s.host.bar.values == std::vector<float>({0, 25, 100, 100}));
        EXPECT_GT(s.host.pump.calls, 0); // a slow download leaves the window responsive
        EXPECT_EQ(s.updatesEntries(), (QStringList{QStringLiteral("autre.txt"), s.host.ctx.packageFileName}));
    }
}

struct StepFailure {
    const char *name;
    ScriptedReply reply;
    std::function<void(StepHarness &)> prepare;
    qint32 number;       // 0: none told
    QString description; // its start; empty: any
    int requests;
};

class StepFailures : public ::testing::TestWithParam<StepFailure> {};

// One box tells each failure with its number and description; the step neither completes nor
// hands over, and leaves no file but what was there, nor anything staged as it arrived.
TEST_P(StepFailures, ShowOneBoxAndLeaveNoFile)
{
    const StepFailure &row = GetParam();
    StepHarness s;
    row.prepare(s);
    s.run(row.reply);
    ASSERT_EQ(s.host.boxes.shown.size(), 1u);
    const RecordedBox &box = s.host.boxes.shown[0];
    const QString told = row.number == 0 ? QStringLiteral("Erreur lors du téléchargement de la mise à jour.")
                                         : QStringLiteral("Erreur lors du téléchargement de la mise à jour : %1 %2").arg(row.number).arg(row.description);
    EXPECT_TRUE(box.text.startsWith(told) && box.text.endsWith(core::SupportContactText())) << box.text.toStdString();
    EXPECT_EQ(std::make_pair(box.title, box.icon), std::make_pair(QStringLiteral("Téléchargement de la mise à jour"), platform::BoxIcon::Critical));
    EXPECT_EQ(s.server.requestCount(), row.requests);
    EXPECT_EQ(s.host.stepsCompleted + s.host.nextStepsTriggered, 0);
    EXPECT_FALSE(QFileInfo::exists(s.host.ctx.appFolder + QStringLiteral("maj.zip")));
    for (const QString &entry : s.updatesEntries()) // at most what stood at the package path before
        EXPECT_EQ(entry, s.host.ctx.packageFileName);
}

const QByteArray kZip = QByteArray::fromStdString(
    zip::buildZip({{"kestrel11.exe", std::string(1500, 'k')}, {"LISEZMOI.txt", std::string(3000, 'l')}}, zip::Compression::Stored));
const ScriptedReply kDropped{.pieces = {kZip}, .dropAfterBodyBytes = 2000};

INSTANTIATE_TEST_SUITE_P(
    Downloads, StepFailures,
    ::testing::Values(
        StepFailure{"EmptyBody", ScriptedReply{}, [](StepHarness &) {}, 0, {}, 1},
        StepFailure{"UpdatesFolderBlockedByAFile", kDropped, [](StepHarness &s) { zip::writeFile((s.host.ctx.appFolder + "updates").toStdString(), "pas un dossier"); },
                    download::kPackageNotStored, QStringLiteral("Impossible de créer le dossier"), 0},
        StepFailure{"PackagePathTakenByAFolder", ScriptedReply{.pieces = {patternBytes(100)}}, [](StepHarness &s) { QDir().mkpath(s.packagePath()); },
                    download::kPackageNotStored, QStringLiteral("Impossible d'enregistrer le fichier"), 1},
        StepFailure{"SignedPackageDamagedInTransit", ScriptedReply{.pieces = {kZip}}, [](StepHarness &s) {
                        s.host.service.packagePublicKey = QStringLiteral("clé de l'éditeur"), s.host.ctx.signedDigest = QByteArray(32, 'x');
                    }, download::kPackageNotSigned, QStringLiteral("Le paquet reçu ne correspond pas"), 1},
        StepFailure{"PackageNameWithASeparator", kDropped, [](StepHarness &s) { s.host.ctx.packageFileName = QStringLiteral("../maj.zip"); },
                    download::kPackageNotStored, QStringLiteral("Nom de paquet non valide"), 0}),
    [](const auto &info) { return std::string(info.param.name); });

const QByteArray kPackage = patternBytes(5000);

struct Resumption {
    const char *name;
    ScriptedReply rangeReply; // to a request for the rest
    std::function<void(StepHarness &)> prepare; // between the two attempts
    bool asksForTheRest;      // the second attempt sends Range and If-Range
    QByteArray stored;        // the package file in the end
    int requests;
};

class Resumptions : public ::testing::TestWithParam<Resumption> {};

// A download cut at 2000 bytes keeps them; the next asks for the rest and keeps nothing it cannot vouch for: the file ends as one whole package.
TEST_P(Resumptions, TakeUpOnlyWhatIsIntact)
{
    const Resumption &row = GetParam();
    StepHarness s;
    const QList<QPair<QByteArray, QByteArray>> served{{"ETag", "\"v1\""}, {"Accept-Ranges", "bytes"}};
    s.run({.headers = served, .pieces = {kPackage}, .dropAfterBodyBytes = 2000});
    EXPECT_EQ(s.updatesEntries(), QStringList({s.host.ctx.packageFileName + ".part", s.host.ctx.packageFileName + ".part.resume"}));

    s.server.setReply(kPackageRoute + "#range", row.rangeReply);
    zip::writeFile((s.host.ctx.updatesFolder + "maj_kestrel11_1.0.zip.part").toStdString(), "ancienne version");
    row.prepare(s);
    s.run({.headers = served, .pieces = {row.stored}});

    EXPECT_EQ(s.host.stepsCompleted, 1) << s.host.boxes.shown.back().text.toStdString();
    EXPECT_EQ(zip::readFile(s.packagePath().toStdString()), row.stored.toStdString());
    EXPECT_EQ(s.updatesEntries(), QStringList{s.host.ctx.packageFileName});
    ASSERT_EQ(s.server.requestCount(), row.requests);
    EXPECT_EQ(s.server.heads()[1].contains("\r\nRange: bytes=2000-\r\n") && s.server.heads()[1].contains("\r\nIf-Range: \"v1\"\r\n"),
              row.asksForTheRest);
}

const ScriptedReply kRest{.status = 206, .reason = "Partial Content", .headers = {{"Content-Range", "bytes 2000-4999/5000"}}, .pieces = {kPackage.mid(2000)}};
const QByteArray kChanged = patternBytes(6000, 7);
const auto kNothing = [](StepHarness &) {};

INSTANTIATE_TEST_SUITE_P(
    Downloads, Resumptions,
    ::testing::Values(
        Resumption{"RestSent", kRest, kNothing, true, kPackage, 2},
        Resumption{"RestSentWithTheVendorKeyCheckedOverTheWholeFile", kRest,
                   [](StepHarness &s) {
                       s.host.service.packagePublicKey = QStringLiteral("clé");
                       s.host.ctx.signedDigest = QCryptographicHash::hash(kPackage, QCryptographicHash::Sha256);
                   }, true, kPackage, 2},
        Resumption{"WholePackageSentInstead", {.pieces = {kPackage}}, kNothing, true, kPackage, 2},
        Resumption{"ChangedPackageSentWhole", {.headers = {{"ETag", "\"v2\""}}, .pieces = {kChanged}}, kNothing, true, kChanged, 2},
        Resumption{"RangeNotSatisfiable", {.status = 416, .reason = "Range Not Satisfiable"}, kNothing, true, kChanged, 3},
        Resumption{"RestNotWhereAsked", {.status = 206, .headers = {{"Content-Range", "bytes 1000-4999/5000"}}, .pieces = {kPackage.mid(1000)}},
                   kNothing, true, kChanged, 3},
        Resumption{"LinkPlantedAtThePartialFile", kRest, [](StepHarness &s) {
                       const QString part = s.packagePath() + ".part";
                       QFile::remove(part);
                       zip::writeFile((s.host.ctx.appFolder + "ailleurs").toStdString(), kPackage.left(2000).toStdString());
                       QFile::link(s.host.ctx.appFolder + "ailleurs", part);
                   }, false, kChanged, 2},
        Resumption{"LargerFilePlantedAtThePartialFile", kRest, [](StepHarness &s) {
                       QFile part(s.packagePath() + ".part");
                       part.open(QIODevice::Append);
                       part.write("X");
                   }, false, kChanged, 2}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
