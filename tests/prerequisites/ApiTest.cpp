// The software record query against the local HTTPS server, the text search that reads it, and
// the reason phrase of a failed status as the user reads it.

#include "platform/Https.h"
#include "prerequisites/API.h"
#include "support/FakeStepHost.h"
#include "support/TestKit.h"
#include "support/https/TestHttpsServer.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <gtest/gtest.h>


using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

struct ExtractCase {
    const char *name;
    QString json;
    QString version;
};

void PrintTo(const ExtractCase &c, std::ostream *os) { *os << c.name; }

class ExtractJsonValue : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractJsonValue, FollowsTheTextSearch)
{
    EXPECT_EQ(prerequisites::API::ExtractJsonValue(GetParam().json, QStringLiteral("version")), GetParam().version);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ExtractJsonValue,
    ::testing::Values(
        ExtractCase{"BlanksAndLineBreaks", "{ \"version\" \r\n :\t \"11.0.27\" }", "11.0.27"},
        ExtractCase{"AnythingBetweenColonAndQuoteSkipped", R"({"version": [ "11.0.27"]})", "11.0.27"},
        ExtractCase{"KeyCapitalised", R"({"Version":"11.0.27"})", "11.0.27"},
        ExtractCase{"KeyMissing", R"({"name":"Kestrel"})", ""},
        ExtractCase{"LongerMemberName", R"({"versions":"11.0.27"})", ""},
        ExtractCase{"NumberThenChannel", R"({"version":11,"channel":"stable"})", "channel"},
        ExtractCase{"NoColonAfterKey", R"(["version"])", ""},
        ExtractCase{"UnterminatedValue", R"({"version":"11.0)", ""},
        ExtractCase{"EscapedQuoteCutsValue", R"({"version":"11\"beta"})", "11\\"},
        ExtractCase{"KeyFirstSeenAsValue", R"({"name":"version","id":"k11","version":"11.0.27"})", "k11"}),
    [](const auto &info) { return std::string(info.param.name); });

struct Phrase {
    const char *name;
    QByteArray onTheWire;
    QString shown;
};

void PrintTo(const Phrase &p, std::ostream *out) { *out << p.name; }

class ReasonPhrase : public ::testing::TestWithParam<Phrase> {};

// Qt hands the phrase over as text read as Latin-1, or, from other clients, as raw bytes.
TEST_P(ReasonPhrase, DecodesAsUtf8WhenValidElseLatin1)
{
    EXPECT_EQ(platform::reasonPhraseText(QVariant(QString::fromLatin1(GetParam().onTheWire))), GetParam().shown);
    EXPECT_EQ(platform::reasonPhraseText(QVariant(GetParam().onTheWire)), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Phrases, ReasonPhrase,
    ::testing::Values(Phrase{"Ascii", "Not Found", QStringLiteral("Not Found")},
                      Phrase{"Utf8", "Non trouv\xc3\xa9 \xe2\x80\x94 \xc3\xa0 revoir", QStringLiteral("Non trouvé — à revoir")},
                      Phrase{"Latin1", "Non trouv\xe9", QStringLiteral("Non trouvé")},
                      Phrase{"Utf8CutShort", "Fin \xc3", QStringLiteral("Fin Ã")}),
    [](const auto &info) { return std::string(info.param.name); });

const QByteArray kRecord = R"({"version":"11.0.27"})";
const ScriptedReply kVersion{.pieces = {kRecord}};

struct Query {
    const char *name;
    ScriptedReply reply;
    QString version;
    QString boxText = {}; // after "Erreur lors de la requête. Statut : "; empty: no box
    int requests = 1;     // -1: any, as the client may resend a GET on a dropped connection
    std::chrono::milliseconds inactivity = 20s, record = 30s;
    QString baseUrl = {}; // instead of the server's; %1 stands for a closed port
    TestHttpsServer::Certificate certificate = TestHttpsServer::Certificate::SignedByTestCa;
};

void PrintTo(const Query &q, std::ostream *os) { *os << q.name; }

class GetLatestVersion : public ::testing::TestWithParam<Query> {};

// A status other than 200 is told in a box; every other failure is silent and ends within the
// time limits. No reply is left behind.
TEST_P(GetLatestVersion, AnswersTheVersionOrTellsTheStatus)
{
    const Query &q = GetParam();
    TestHttpsServer server(q.certificate);
    QNetworkAccessManager network;
    ScriptedBoxes boxes;
    const platform::UpdateService service{
        &network, q.baseUrl.isNull() ? server.baseUrl() + "vb6/v1/softwares/" : q.baseUrl.arg(closedPort()),
        {.trustedCa = TestHttpsServer::caCertificates(), .inactivityTimeout = q.inactivity, .recordTimeout = q.record}, {}};
    server.setReply("/vb6/v1/softwares/kestrel11", q.reply);

    EXPECT_EQ(prerequisites::API::GetLatestVersion(QStringLiteral("kestrel11"), service, boxes), q.version);

    if (q.boxText.isEmpty()) {
        EXPECT_TRUE(boxes.shown.empty());
    } else {
        ASSERT_EQ(boxes.shown.size(), 1U);
        EXPECT_EQ(boxes.shown[0].text, QStringLiteral("Erreur lors de la requête. Statut : ") + q.boxText);
        EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Mise à jour"));
        EXPECT_EQ(boxes.shown[0].icon, platform::BoxIcon::Critical);
        EXPECT_EQ(boxes.shown[0].buttons, platform::BoxButtons::Ok);
    }
    EXPECT_TRUE(q.requests < 0 || server.requestCount() == q.requests) << server.requestCount();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(network.findChildren<QNetworkReply *>().isEmpty());
}

const ScriptedReply kSilent{.pieces = {kRecord}, .headerDelay = 1h};

INSTANTIATE_TEST_SUITE_P(
    Replies, GetLatestVersion,
    ::testing::Values(
        Query{"Version", kVersion, "11.0.27"},
        // A server offering HTTP/2 too: the phrase comes only on an HTTP/1.1 status line.
        Query{"NotFoundWithUtf8Phrase", ScriptedReply{.status = 404, .reason = "Non trouv\xC3\xA9", .pieces = {kRecord}}, {},
              QStringLiteral("404 Non trouvé")},
        Query{"CreatedIsAFailure", ScriptedReply{.status = 201, .reason = "Created", .pieces = {kRecord}}, {}, "201 Created"},
        Query{"DeclaredLatin1",
              ScriptedReply{.headers = {{"Content-Type", "application/json; charset=ISO-8859-1"}},
                            .pieces = {"{\"version\":\"11.0 b\xEAta\"}"}},
              QStringLiteral("11.0 bêta")},
        Query{"Utf8ByDefault", ScriptedReply{.pieces = {"{\"version\":\"11.0 b\xC3\xAAta\"}"}}, QStringLiteral("11.0 bêta")},
        Query{"InPieces", ScriptedReply{.pieces = {R"({"vers)", R"(ion":"11.)", R"(0.27"})"}, .pieceDelay = 50ms}, "11.0.27"},
        Query{"ConnectionDroppedInBody",
              // Dropped once the whole record is out, but not the whole body.
              ScriptedReply{.pieces = {kRecord + QByteArray(20, ' ')}, .dropAfterBodyBytes = 24}, {}, {}, -1},
        Query{"LengthBeyondBody",
              ScriptedReply{.headers = {{"Content-Length", "99999999999"}}, .pieces = {kRecord}, .declareLength = false}, {}},
        Query{"OversizedRecord",
              ScriptedReply{.pieces = {R"({"version":"11.0.27","padding":")" + QByteArray(2 * 1024 * 1024, 'x') + R"("})"}}, {}},
        Query{"ConnectionRefused", kVersion, {}, {}, 0, 20s, 30s, "https://127.0.0.1:%1/vb6/v1/softwares/"},
        Query{"CertificateFromAnotherAuthority", kVersion, {}, {}, 0, 20s, 30s, {},
              TestHttpsServer::Certificate::SignedByOtherCa},
        Query{"SilentServerRecordLimit", kSilent, {}, {}, 1, 10min, 300ms},
        Query{"SilentServerInactivityLimit", kSilent, {}, {}, 1, 300ms, 10min},
        Query{"TrickleBeyondTheRecordLimit",
              ScriptedReply{.pieces = QList<QByteArray>(200, " ") << kRecord, .pieceDelay = 50ms}, {}, {}, 1, 10min, 300ms}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
