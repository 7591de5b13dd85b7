// The software record query against the local HTTPS server, the text search that reads it, the reason phrase of a failed status.

#include "platform/Https.h"
#include "prerequisites/API.h"
#include "support/FakeStepHost.h"
#include "support/https/TestHttpsServer.h"

#include <QNetworkReply>
#include <QTimer>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

// Each row: a record, and the version the text search reads from it.
TEST(ExtractJsonValue, FollowsTheTextSearch)
{
    const std::pair<QString, QString> rows[] = {
        {"{ \"version\" \r\n :\t \"11.0.27\" }", "11.0.27"},              // blanks and line breaks
        {R"({"Version":"11.0.27"})", "11.0.27"},                          // key capitalised
        {R"({"versions":"11.0.27"})", ""},                                // longer member name
        {R"(["version"])", ""},                                           // no colon after the key
        {R"({"version":"11.0)", ""},                                      // unterminated value
        {R"({"version":"11\"beta"})", "11\\"},                           // an escaped quote cuts the value
        {R"({"name":"version","id":"k11","version":"11.0.27"})", "k11"}}; // key first seen as a value: the next string
    for (const auto &[json, version] : rows)
        EXPECT_EQ(prerequisites::API::ExtractJsonValue(json, QStringLiteral("version")), version) << json.toStdString();
}

// Qt hands the phrase over as text read as Latin-1, or, from other clients, as raw bytes.
TEST(ReasonPhrase, DecodesAsUtf8WhenValidElseLatin1)
{
    const std::pair<QByteArray, QString> rows[] = {{"Non trouv\xc3\xa9 \xe2\x80\x94 \xc3\xa0 revoir", QStringLiteral("Non trouvé — à revoir")},
                                                   {"Non trouv\xe9", QStringLiteral("Non trouvé")},
                                                   {"Fin \xc3", QStringLiteral("Fin Ã")}}; // UTF-8 cut short
    for (const auto &[onTheWire, shown] : rows) {
        EXPECT_EQ(platform::reasonPhraseText(QVariant(QString::fromLatin1(onTheWire))), shown);
        EXPECT_EQ(platform::reasonPhraseText(QVariant(onTheWire)), shown);
    }
}

const QByteArray kRecord = R"({"version":"11.0.27"})";

struct Query {
    const char *name;
    ScriptedReply reply;
    QString version;
    QString boxText = {}; // after "Erreur lors de la requête. Statut : "; empty: no box
    int requests = 1;     // -1: any, as the client may resend a GET on a dropped connection
    std::chrono::milliseconds inactivity = 20s;
    bool clockRuns = false; // the test's clock moves 10 s every 50 ms while the query runs (record limit 60 s)
};

class GetLatestVersion : public ::testing::TestWithParam<Query> {};

// A status other than 200 is told in a box; every other failure is silent and ends within the time limits. No reply is left behind.
TEST_P(GetLatestVersion, AnswersTheVersionOrTellsTheStatus)
{
    const Query &q = GetParam();
    TestHttpsServer server;
    QNetworkAccessManager network;
    ScriptedBoxes boxes;
    ManualClock clock;
    QTimer ticks;
    QObject::connect(&ticks, &QTimer::timeout, [&clock] { clock.advance(10s); });
    if (q.clockRuns)
        ticks.start(50);
    const platform::UpdateService service{
        &network, server.baseUrl() + "vb6/v1/softwares/", {.trustedCa = TestHttpsServer::caCertificates(), .inactivityTimeout = q.inactivity, .clock = &clock}, {}};
    server.setReply("/vb6/v1/softwares/kestrel11", q.reply);

    EXPECT_EQ(prerequisites::API::GetLatestVersion(QStringLiteral("kestrel11"), service, boxes), q.version);

    ASSERT_EQ(boxes.shown.size(), q.boxText.isEmpty() ? 0U : 1U);
    for (const RecordedBox &box : boxes.shown)
        EXPECT_EQ(std::make_tuple(box.text, box.title, box.icon, box.buttons),
                  std::make_tuple(QStringLiteral("Erreur lors de la requête. Statut : ") + q.boxText, QStringLiteral("Mise à jour"), platform::BoxIcon::Critical, platform::BoxButtons::Ok));
    EXPECT_TRUE(q.requests < 0 || server.requestCount() == q.requests) << server.requestCount();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(network.findChildren<QNetworkReply *>().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GetLatestVersion,
    ::testing::Values(
        // A server offering HTTP/2 too: the phrase comes only on an HTTP/1.1 status line.
        Query{"NotFoundWithUtf8Phrase", {.status = 404, .reason = "Non trouv\xC3\xA9", .pieces = {kRecord}}, {}, QStringLiteral("404 Non trouvé")},
        Query{"CreatedIsAFailure", {.status = 201, .reason = "Created", .pieces = {kRecord}}, {}, "201 Created"},
        Query{"DeclaredLatin1", {.headers = {{"Content-Type", "application/json; charset=ISO-8859-1"}}, .pieces = {"{\"version\":\"11.0 b\xEAta\"}"}},
              QStringLiteral("11.0 bêta")},
        Query{"Utf8ByDefault", {.pieces = {"{\"version\":\"11.0 b\xC3\xAAta\"}"}}, QStringLiteral("11.0 bêta")},
        Query{"InPieces", {.pieces = {R"({"vers)", R"(ion":"11.)", R"(0.27"})"}, .pieceDelay = 50ms}, "11.0.27"},
        // Dropped once the whole record is out, but not the whole body.
        Query{"ConnectionDroppedInBody", {.pieces = {kRecord + QByteArray(20, ' ')}, .dropAfterBodyBytes = 24}, {}, {}, -1},
        Query{"OversizedRecord", {.pieces = {R"({"version":"11.0.27","padding":")" + QByteArray(2 * 1024 * 1024, 'x') + R"("})"}}, {}},
        // Qt's own transfer time-out, on the system's time.
        Query{"SilentServerInactivityLimit", {.pieces = {kRecord}, .headerDelay = 1h}, {}, {}, 1, 300ms},
        // Data keeps coming, so only the limit on the whole query ends it.
        Query{"TrickleBeyondTheRecordLimit", {.pieces = QList<QByteArray>(2000, " ") << kRecord, .pieceDelay = 20ms}, {}, {}, 1, 10min, true}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
