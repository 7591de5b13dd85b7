#include "core/Product.h"
#include "core/SupportContact.h"
#include "prerequisites/Prerequisites.h"
#include "support/FakeStepHost.h"
#include "support/https/TestHttpsServer.h"
#include "support/process/NamedProcess.h"
#include "support/zip/ZipBuilder.h"

#include <optional>
#include <tuple>

namespace kestrel::test {
namespace {

const QByteArray kRecordPath = "/vb6/v1/softwares/kestrel11";

// The boxes shown: `first` of another kind, then `count` of the check, critical ones that end with the support paragraph.
void expectBoxes(const std::vector<RecordedBox> &shown, std::size_t count, const QString &title, const QString &text,
                 platform::BoxButtons buttons = platform::BoxButtons::Ok, std::size_t first = 0)
{
    ASSERT_EQ(shown.size(), first + count);
    for (std::size_t i = first; i < shown.size(); ++i)
        EXPECT_EQ(std::make_tuple(shown[i].text, shown[i].title, shown[i].icon, shown[i].buttons),
                  std::make_tuple(text + core::SupportContactText(), title, platform::BoxIcon::Critical, buttons));
}

// The application installed, a service answering 11.0.27, and a bar from 10 to 90 whose stage values are exact floats.
class CheckPrerequisitesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host.ctx.appFolder = folder.path() + QLatin1Char('/');
        host.service = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"), {.trustedCa = TestHttpsServer::caCertificates()}, {}};
        host.bar.setMin(10.0F);
        host.bar.setMax(90.0F);
        server.setReply(kRecordPath, {.pieces = {R"({"version":"11.0.27"})"}});
        zip::writeFile(folder.filePath(core::kExeName).toStdString(), "MZ");
    }

    QTemporaryDir folder;
    TestHttpsServer server;
    QNetworkAccessManager network;
    FakeStepHost host;
};

TEST_F(CheckPrerequisitesTest, MissingApplicationEndsBeforeAnythingElse)
{
    ASSERT_TRUE(QFile::remove(folder.filePath(core::kExeName)));
    EXPECT_FALSE(prerequisites::CheckPrerequisites(host));
    expectBoxes(host.boxes.shown, 1, QStringLiteral("Application introuvable"),
                QStringLiteral("L'application Kestrel 11 n'a pas été trouvée sur votre système.\r\nVeuillez vérifier son installation et réessayer."));
    EXPECT_EQ(host.end.ended, 1);
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F}));
}

// Without a version (an escaped quote leaves a backslash, unfit for a file name) the update goes on after a box; a failed status is told first.
TEST_F(CheckPrerequisitesTest, UnfitVersionFailedStatusOrUnreachableServiceCountAsNoVersion)
{
    const struct { ScriptedReply reply; bool reachable; QString firstBox; } rows[] = {
        {{.pieces = {R"({"version":"11\"beta"})"}}, true, {}},
        {{.status = 500, .reason = "Internal Server Error"}, true, QStringLiteral("Erreur lors de la requête. Statut : 500 Internal Server Error")},
        {{}, false, {}}};
    for (const auto &row : rows) {
        host.boxes.shown.clear();
        host.bar.values.clear();
        server.setReply(kRecordPath, row.reply);
        if (!row.reachable)
            host.service.baseUrl = QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(closedPort());

        EXPECT_TRUE(prerequisites::CheckPrerequisites(host));

        expectBoxes(host.boxes.shown, 1, QStringLiteral("Mise à jour"), {}, platform::BoxButtons::Ok, row.firstBox.isEmpty() ? 0 : 1);
        EXPECT_TRUE(row.firstBox.isEmpty() || host.boxes.shown.at(0).text == row.firstBox) << row.firstBox.toStdString();
        EXPECT_TRUE(host.ctx.latestVersion.isEmpty());
        EXPECT_EQ(host.ctx.packageFileName, QStringLiteral("maj_kestrel11_.zip"));
        EXPECT_EQ(host.bar.values, (std::vector<float>{10.0F, 30.0F, 60.0F, 90.0F}));
        EXPECT_EQ(host.end.ended, 0);
    }
}

// With the vendor's key built in, a record without its signature goes no further.
TEST_F(CheckPrerequisitesTest, RecordTheVendorDidNotSignStopsTheUpdate)
{
    host.service.packagePublicKey = QString(43, u'A') + u'=';
    EXPECT_FALSE(prerequisites::CheckPrerequisites(host));
    expectBoxes(host.boxes.shown, 1, QStringLiteral("Mise à jour non signée"),
                QStringLiteral("Aucune mise à jour signée par l'éditeur de Kestrel 11 n'a pu être obtenue.\r\n"
                               "Par sécurité, rien n'a été téléchargé. Veuillez réessayer plus tard."));
    EXPECT_TRUE(host.ctx.signedDigest.isEmpty());
}

TEST(VersionName, OnlyPlainNamesReachThePackageName)
{
    EXPECT_TRUE(prerequisites::isPlainFileNameComponent(QStringLiteral("11.0 bêta")) && prerequisites::isPlainFileNameComponent(QString(64, u'1')));
    for (const QString &unfit : {QString(65, u'1'), QString(), QStringLiteral("../../../outside"), QStringLiteral("C:11"), QStringLiteral("11\u0085"),
                                 QStringLiteral("11.0.")})
        EXPECT_FALSE(prerequisites::isPlainFileNameComponent(unfit)) << unfit.toStdString();
}

struct RunningCase {
    const char *name;
    bool running;
    bool closedWhileAsked; // the user closes the application while the first box is open
    std::deque<platform::BoxAnswer> answers;
    bool result;
};

class RunningApplicationTest : public CheckPrerequisitesTest, public ::testing::WithParamInterface<RunningCase> {};

// With the application present and the version known: the check asks while the application runs.
TEST_P(RunningApplicationTest, AsksUntilClosedOrAnswered)
{
    std::optional<NamedProcess> application;
    if (GetParam().running)
        application.emplace(std::string(core::kExeName));
    if (GetParam().closedWhileAsked)
        host.boxes.onShow = [&application](const RecordedBox &) { application->stop(); };
    host.boxes.answers = GetParam().answers;

    EXPECT_EQ(prerequisites::CheckPrerequisites(host), GetParam().result);

    expectBoxes(host.boxes.shown, GetParam().closedWhileAsked ? 1U : GetParam().answers.size(), QStringLiteral("Application en cours d'exécution"),
                QStringLiteral("L'application Kestrel 11 est actuellement ouverte.\r\nVeuillez la fermer avant de poursuivre la mise à jour."),
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
