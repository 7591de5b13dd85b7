#include "FakeStepHost.h"
#include "NamedProcess.h"
#include "Prerequisites.h"
#include "Product.h"
#include "SupportContact.h"
#include "TestHttpsServer.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

using kestrel::BoxAnswer;
using kestrel::BoxButtons;
using kestrel::BoxIcon;
using kestrel::test::NamedProcess;
using kestrel::test::RecordedBox;
using kestrel::test::ScriptedReply;
using kestrel::test::TestHttpsServer;
using namespace std::chrono_literals;

namespace {

const QByteArray kRecordPath = "/vb6/v1/softwares/kestrel11";

QString notFoundText()
{
    return QStringLiteral("L'application Kestrel 11 n'a pas été trouvée sur votre système.\r\n"
                          "Veuillez vérifier son installation et réessayer.")
           + kestrel::SupportContactText();
}

QString runningText()
{
    return QStringLiteral("L'application Kestrel 11 est actuellement ouverte.\r\n"
                          "Veuillez la fermer avant de poursuivre la mise à jour.")
           + kestrel::SupportContactText();
}

void expectNoVersionBox(const RecordedBox &box)
{
    EXPECT_EQ(box.text, kestrel::SupportContactText());
    EXPECT_EQ(box.title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(box.icon, BoxIcon::Critical);
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
}

void expectRunningBox(const RecordedBox &box)
{
    EXPECT_EQ(box.text, runningText());
    EXPECT_EQ(box.title, QStringLiteral("Application en cours d'exécution"));
    EXPECT_EQ(box.icon, BoxIcon::Critical);
    EXPECT_EQ(box.buttons, BoxButtons::AbortRetryIgnore);
}

class CheckPrerequisitesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        host.ctx.appFolder = folder.path() + QLatin1Char('/');
        host.service.network = &network;
        host.service.baseUrl = server.baseUrl() + QStringLiteral("vb6/v1/softwares/");
        host.service.http.trustedCa = TestHttpsServer::caCertificates();
        host.service.http.inactivityTimeout = 20s;
        host.service.http.recordTimeout = 30s;
        // Chosen so that every stage value is exact in single precision.
        host.bar.setMin(10.0F);
        host.bar.setMax(90.0F);
        serveVersion("11.0.27");
    }

    void installApplication()
    {
        QFile exe(folder.filePath(kestrel::kExeName));
        ASSERT_TRUE(exe.open(QIODevice::WriteOnly));
        ASSERT_EQ(exe.write("MZ"), 2);
    }

    void serveVersion(const QByteArray &version)
    {
        server.setReply(kRecordPath, ScriptedReply::text(200, "OK", R"({"version":")" + version + R"("})"));
    }

    QTemporaryDir folder;
    TestHttpsServer server;
    QNetworkAccessManager network;
    kestrel::test::FakeStepHost host;
};

TEST_F(CheckPrerequisitesTest, PresentNotRunningAndVersionKnown)
{
    installApplication();

    EXPECT_TRUE(kestrel::CheckPrerequisites(host));

    EXPECT_TRUE(host.boxes.shown.empty());
    EXPECT_EQ(host.ctx.latestVersion, QStringLiteral("11.0.27"));
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_11.0.27.zip"));
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F, 30.0F, 60.0F, 90.0F}));
    EXPECT_EQ(host.bar.min(), 10.0F);
    EXPECT_EQ(host.bar.max(), 90.0F);
    EXPECT_EQ(host.end.ended, 0);
    EXPECT_EQ(server.requestCount(), 1);
}

// ---- The application is missing ---------------------------------------------------------

struct MissingCase {
    const char *name;
    std::function<void(const QString &exePath)> prepare;
};

void PrintTo(const MissingCase &c, std::ostream *os) { *os << c.name; }

class MissingApplicationTest : public CheckPrerequisitesTest,
                               public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingApplicationTest, EndsBeforeAnythingElse)
{
    GetParam().prepare(folder.filePath(kestrel::kExeName));

    EXPECT_FALSE(kestrel::CheckPrerequisites(host));

    ASSERT_EQ(host.boxes.shown.size(), 1U);
    EXPECT_EQ(host.boxes.shown[0].text, notFoundText());
    EXPECT_EQ(host.boxes.shown[0].title, QStringLiteral("Application introuvable"));
    EXPECT_EQ(host.boxes.shown[0].icon, BoxIcon::Critical);
    EXPECT_EQ(host.boxes.shown[0].buttons, BoxButtons::Ok);
    EXPECT_EQ(host.end.ended, 1);
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F}));
    EXPECT_TRUE(host.ctx.packageFileName.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingApplicationTest,
    ::testing::Values(
        MissingCase{"NoFile", [](const QString &) {}},
        MissingCase{"FolderOfThatName", [](const QString &path) { ASSERT_TRUE(QDir().mkpath(path)); }},
        MissingCase{"DanglingLink",
                    [](const QString &path) { ASSERT_TRUE(QFile::link(path + QStringLiteral(".gone"), path)); }}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- No version from the service --------------------------------------------------------

TEST_F(CheckPrerequisitesTest, UnreachableServiceGivesOnlyTheNoVersionBox)
{
    installApplication();
    quint16 closedPort = 0;
    {
        TestHttpsServer gone;
        closedPort = gone.port();
    }
    host.service.baseUrl = QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(closedPort);

    EXPECT_TRUE(kestrel::CheckPrerequisites(host));

    ASSERT_EQ(host.boxes.shown.size(), 1U);
    expectNoVersionBox(host.boxes.shown[0]);
    EXPECT_TRUE(host.ctx.latestVersion.isEmpty());
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_.zip"));
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F, 30.0F, 60.0F, 90.0F}));
    EXPECT_EQ(host.end.ended, 0);
}

TEST_F(CheckPrerequisitesTest, ServerErrorGivesTwoBoxesInARow)
{
    installApplication();
    server.setReply(kRecordPath, ScriptedReply::text(500, "Internal Server Error", {}));

    EXPECT_TRUE(kestrel::CheckPrerequisites(host));

    ASSERT_EQ(host.boxes.shown.size(), 2U);
    EXPECT_EQ(host.boxes.shown[0].text, QStringLiteral("Erreur lors de la requête. Statut : 500 Internal Server Error"));
    expectNoVersionBox(host.boxes.shown[1]);
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_.zip"));
}

// ---- Versions and the package file name --------------------------------------------------

struct VersionCase {
    const char *name;
    QByteArray served; // as it stands between the quotation marks of the JSON body
    QString kept;      // the latest version the check keeps; empty: treated as no version
};

void PrintTo(const VersionCase &c, std::ostream *os) { *os << c.name; }

class PackageNameTest : public CheckPrerequisitesTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PackageNameTest, OnlyPlainNamesReachThePackageName)
{
    installApplication();
    serveVersion(GetParam().served);

    EXPECT_TRUE(kestrel::CheckPrerequisites(host));

    EXPECT_EQ(host.ctx.latestVersion, GetParam().kept);
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_") + GetParam().kept + QStringLiteral(".zip"));
    if (GetParam().kept.isEmpty()) {
        ASSERT_EQ(host.boxes.shown.size(), 1U);
        expectNoVersionBox(host.boxes.shown[0]);
    } else {
        EXPECT_TRUE(host.boxes.shown.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PackageNameTest,
    ::testing::Values(
        VersionCase{"Dotted", "11.0.27", "11.0.27"},
        VersionCase{"PreRelease", "11.1.0-beta.2+build.77", "11.1.0-beta.2+build.77"},
        VersionCase{"NonAsciiLetters", "11.0 b\xC3\xAAta", QString::fromUtf8("11.0 bêta")},
        VersionCase{"LongestAccepted", QByteArray(64, '1'), QString(64, QLatin1Char('1'))},
        VersionCase{"Empty", "", ""},
        VersionCase{"ParentFolders", "../../../outside", ""},
        VersionCase{"Dot", ".", ""},
        VersionCase{"DotDot", "..", ""},
        VersionCase{"Slash", "11/0", ""},
        VersionCase{"Backslash", "11\\\\0", ""},
        VersionCase{"EscapedQuoteLeavesBackslash", "11\\\"beta", ""},
        VersionCase{"DriveColon", "C:11", ""},
        VersionCase{"LessThan", "11<0", ""},
        VersionCase{"GreaterThan", "11>0", ""},
        VersionCase{"Pipe", "11|0", ""},
        VersionCase{"QuestionMark", "11?", ""},
        VersionCase{"Star", "11*", ""},
        VersionCase{"Tab", "11\t0", ""},
        VersionCase{"LineBreak", "11\r\n0", ""},
        VersionCase{"Nul", QByteArray("11\0" "0", 4), ""},
        VersionCase{"Delete", "11\x7f", ""},
        VersionCase{"C1Control", "11\xC2\x85", ""},
        VersionCase{"LeadingBlank", " 11.0", ""},
        VersionCase{"TrailingBlank", "11.0 ", ""},
        VersionCase{"TrailingDot", "11.0.", ""},
        VersionCase{"TooLong", QByteArray(65, '1'), ""}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- The application is running --------------------------------------------------------

class RunningApplicationTest : public CheckPrerequisitesTest {
protected:
    void SetUp() override
    {
        CheckPrerequisitesTest::SetUp();
        installApplication();
        application.emplace(kestrel::kExeName.toStdString());
    }

    // The user closes the application while the box is open, then answers.
    void closeOnFirstBox()
    {
        host.boxes.onShow = [this](const RecordedBox &) { application->stop(); };
    }

    std::optional<NamedProcess> application;
};

TEST_F(RunningApplicationTest, RetryAfterClosingSucceeds)
{
    closeOnFirstBox();
    host.boxes.answers = {BoxAnswer::Retry};

    EXPECT_TRUE(kestrel::CheckPrerequisites(host));

    ASSERT_EQ(host.boxes.shown.size(), 1U);
    expectRunningBox(host.boxes.shown[0]);
    EXPECT_EQ(host.end.ended, 0);
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F, 30.0F, 60.0F, 90.0F}));
}

TEST_F(RunningApplicationTest, AbortAfterClosingSucceeds)
{
    closeOnFirstBox();
    host.boxes.answers = {BoxAnswer::Abort};

    EXPECT_TRUE(kestrel::CheckPrerequisites(host));

    EXPECT_EQ(host.boxes.shown.size(), 1U);
    EXPECT_EQ(host.end.ended, 0);
}

TEST_F(RunningApplicationTest, IgnoreWhileRunningEnds)
{
    host.boxes.answers = {BoxAnswer::Ignore};

    EXPECT_FALSE(kestrel::CheckPrerequisites(host));

    ASSERT_EQ(host.boxes.shown.size(), 1U);
    expectRunningBox(host.boxes.shown[0]);
    EXPECT_EQ(host.end.ended, 1);
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F, 30.0F, 60.0F}));
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_11.0.27.zip"));
}

TEST_F(RunningApplicationTest, EachRetryWhileRunningAsksAgain)
{
    host.boxes.answers = {BoxAnswer::Retry, BoxAnswer::Retry, BoxAnswer::Retry, BoxAnswer::Abort};

    EXPECT_FALSE(kestrel::CheckPrerequisites(host));

    ASSERT_EQ(host.boxes.shown.size(), 4U);
    for (const RecordedBox &box : host.boxes.shown)
        expectRunningBox(box);
    EXPECT_EQ(host.end.ended, 1);
}

} // namespace
