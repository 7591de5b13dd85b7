#include "core/Product.h"
#include "core/SupportContact.h"
#include "prerequisites/Prerequisites.h"
#include "support/FakeStepHost.h"
#include "support/TestKit.h"
#include "support/https/TestHttpsServer.h"
#include "support/process/NamedProcess.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace kestrel::test {
namespace {

const QByteArray kRecordPath = "/vb6/v1/softwares/kestrel11";

// Every box of the check is a critical one that ends with the support paragraph.
void expectBoxes(const std::vector<RecordedBox> &shown, std::size_t count, const QString &title, const QString &text,
                 platform::BoxButtons buttons)
{
    ASSERT_EQ(shown.size(), count);
    for (const RecordedBox &box : shown) {
        EXPECT_EQ(box.text, text + core::SupportContactText());
        EXPECT_EQ(box.title, title);
        EXPECT_EQ(box.icon, platform::BoxIcon::Critical);
        EXPECT_EQ(box.buttons, buttons);
    }
}

class CheckPrerequisitesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.ctx.appFolder = folder.path() + QLatin1Char('/');
        host.service = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"),
                        {.trustedCa = TestHttpsServer::caCertificates()}, {}};
        // Chosen so that every stage value is exact in single precision.
        host.bar.setMin(10.0F);
        host.bar.setMax(90.0F);
        server.setReply(kRecordPath, {.pieces = {R"({"version":"11.0.27"})"}});
    }

    void installApplication()
    {
        QFile exe(folder.filePath(core::kExeName));
        ASSERT_TRUE(exe.open(QIODevice::WriteOnly) && exe.write("MZ") == 2);
    }

    QTemporaryDir folder;
    TestHttpsServer server;
    QNetworkAccessManager network;
    FakeStepHost host;
};

TEST_F(CheckPrerequisitesTest, MissingApplicationEndsBeforeAnythingElse)
{
    EXPECT_FALSE(prerequisites::CheckPrerequisites(host));

    expectBoxes(host.boxes.shown, 1, QStringLiteral("Application introuvable"),
                QStringLiteral("L'application Kestrel 11 n'a pas été trouvée sur votre système.\r\n"
                               "Veuillez vérifier son installation et réessayer."),
                platform::BoxButtons::Ok);
    EXPECT_EQ(host.end.ended, 1);
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F}));
}

// An escaped quotation mark leaves a backslash in the version, unfit for a file name: the update
// goes on as without a version, after the box that says so.
TEST_F(CheckPrerequisitesTest, VersionUnfitForAFileNameCountsAsNoVersion)
{
    installApplication();
    server.setReply(kRecordPath, {.pieces = {R"({"version":"11\"beta"})"}});

    EXPECT_TRUE(prerequisites::CheckPrerequisites(host));

    expectBoxes(host.boxes.shown, 1, QStringLiteral("Mise à jour"), {}, platform::BoxButtons::Ok);
    EXPECT_TRUE(host.ctx.latestVersion.isEmpty());
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_.zip"));
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F, 30.0F, 60.0F, 90.0F}));
    EXPECT_EQ(host.end.ended, 0);
}

TEST(VersionName, OnlyPlainNamesReachThePackageName)
{
    for (const QString &plain : {QStringLiteral("11.0.27"), QStringLiteral("11.0 bêta"), QString(64, u'1')})
        EXPECT_TRUE(prerequisites::isPlainFileNameComponent(plain)) << plain.toStdString();
    for (const QString &unfit : {QString(65, u'1'), QString(), QStringLiteral("../../../outside"), QStringLiteral(".."),
                                 QStringLiteral("11\\0"), QStringLiteral("C:11"), QStringLiteral("11") + QChar(0) + QStringLiteral("0"),
                                 QStringLiteral("11\u0085"), QStringLiteral(" 11.0"), QStringLiteral("11.0.")})
        EXPECT_FALSE(prerequisites::isPlainFileNameComponent(unfit)) << unfit.toStdString();
}

// A failed status is told by the query's own box, then step 1 goes on as without a version, as
// it does, after its box alone, when the service cannot be reached.
TEST_F(CheckPrerequisitesTest, ServiceFailingOrUnreachableCountsAsNoVersion)
{
    installApplication();
    server.setReply(kRecordPath, {.status = 500, .reason = "Internal Server Error"});
    EXPECT_TRUE(prerequisites::CheckPrerequisites(host));
    ASSERT_EQ(host.boxes.shown.size(), 2U);
    EXPECT_EQ(host.boxes.shown[0].text, QStringLiteral("Erreur lors de la requête. Statut : 500 Internal Server Error"));
    expectBoxes({host.boxes.shown[1]}, 1, QStringLiteral("Mise à jour"), {}, platform::BoxButtons::Ok);
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_.zip"));

    host.boxes.shown.clear();
    host.service.baseUrl = QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(closedPort());
    EXPECT_TRUE(prerequisites::CheckPrerequisites(host));
    expectBoxes(host.boxes.shown, 1, QStringLiteral("Mise à jour"), {}, platform::BoxButtons::Ok);
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_.zip"));
    EXPECT_EQ(host.end.ended, 0);
}

struct RunningCase {
    const char *name;
    bool running;
    bool closedWhileAsked; // the user closes the application while the first box is open
    std::deque<platform::BoxAnswer> answers;
    bool result;
};

void PrintTo(const RunningCase &c, std::ostream *os) { *os << c.name; }

class RunningApplicationTest : public CheckPrerequisitesTest, public ::testing::WithParamInterface<RunningCase> {};

// With the application present and the version known: the check asks while the application runs.
TEST_P(RunningApplicationTest, AsksUntilClosedOrAnswered)
{
    installApplication();
    std::optional<NamedProcess> application;
    if (GetParam().running)
        application.emplace(std::string(core::kExeName));
    if (GetParam().closedWhileAsked)
        host.boxes.onShow = [&application](const RecordedBox &) { application->stop(); };
    host.boxes.answers = GetParam().answers;

    EXPECT_EQ(prerequisites::CheckPrerequisites(host), GetParam().result);

    expectBoxes(host.boxes.shown, GetParam().closedWhileAsked ? 1U : GetParam().answers.size(),
                QStringLiteral("Application en cours d'exécution"),
                QStringLiteral("L'application Kestrel 11 est actuellement ouverte.\r\n"
                               "Veuillez la fermer avant de poursuivre la mise à jour."),
                platform::BoxButtons::AbortRetryIgnore);
    EXPECT_EQ(host.ctx.latestVersion, QStringLiteral("11.0.27"));
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(host.end.ended, GetParam().result ? 0 : 1);
    // Without the last stage when the program ends.
    EXPECT_EQ(host.bar.values, GetParam().result ? (std::vector<float>{10, 30, 60, 90}) : (std::vector<float>{10, 30, 60}));
    EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_11.0.27.zip"));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RunningApplicationTest,
    ::testing::Values(RunningCase{"NotRunning", false, false, {}, true},
                      RunningCase{"RetryAfterClosing", true, true, {platform::BoxAnswer::Retry}, true},
                      RunningCase{"AbortAfterClosing", true, true, {platform::BoxAnswer::Abort}, true},
                      RunningCase{"IgnoreWhileRunning", true, false, {platform::BoxAnswer::Ignore}, false},
                      RunningCase{"RetriesWhileRunningThenAbort", true, false,
                                  {platform::BoxAnswer::Retry, platform::BoxAnswer::Retry, platform::BoxAnswer::Abort}, false}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
