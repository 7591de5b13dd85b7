#include "API.h"
#include "FakeStepHost.h"
#include "Https.h"
#include "TestHttpsServer.h"
#include "TestKit.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <gtest/gtest.h>

#include <functional>

using kestrel::BoxIcon;
using kestrel::BoxButtons;
using kestrel::test::ScriptedBoxes;
using kestrel::test::ScriptedReply;
using kestrel::test::TestHttpsServer;
using namespace std::chrono_literals;

namespace {

// ---- ExtractJsonValue -------------------------------------------------------------------

struct ExtractCase {
    const char *name;
    QString json;
    QString key;
    QString expected;
};

void PrintTo(const ExtractCase &c, std::ostream *os) { *os << c.name; }

class ExtractJsonValueTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractJsonValueTest, FollowsTheTextSearch)
{
    EXPECT_EQ(API::ExtractJsonValue(GetParam().json, GetParam().key), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ExtractJsonValueTest,
    ::testing::Values(
        ExtractCase{"SingleMember", R"({"version":"11.0.27"})", "version", "11.0.27"},
        ExtractCase{"BlanksAndLineBreaks", "{ \"version\" \r\n :\t \"11.0.27\" }", "version", "11.0.27"},
        ExtractCase{"AnythingBetweenColonAndQuoteSkipped", R"({"version": [ "11.0.27"]})", "version", "11.0.27"},
        ExtractCase{"KeyCapitalised", R"({"Version":"11.0.27"})", "version", "11.0.27"},
        ExtractCase{"KeyMissing", R"({"name":"Kestrel"})", "version", ""},
        ExtractCase{"LongerMemberName", R"({"versions":"11.0.27"})", "version", ""},
        ExtractCase{"EmptyValue", R"({"version":""})", "version", ""},
        ExtractCase{"NumberThenChannel", R"({"version":11,"channel":"stable"})", "version", "channel"},
        ExtractCase{"NumberAndNoQuoteAfter", R"({"version":11})", "version", ""},
        ExtractCase{"NoColonAfterKey", R"(["version"])", "version", ""},
        ExtractCase{"UnterminatedValue", R"({"version":"11.0)", "version", ""},
        ExtractCase{"EscapedQuoteCutsValue", R"({"version":"11\"beta"})", "version", "11\\"},
        ExtractCase{"KeyFirstSeenAsValue", R"({"name":"version","id":"k11","version":"11.0.27"})", "version",
                    "k11"},
        ExtractCase{"NonAsciiValue", QString::fromUtf8(R"({"version":"11.0 bêta"})"), "version",
                    QString::fromUtf8("11.0 bêta")}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- GetLatestVersion against the local server ------------------------------------------

const QByteArray kRecordPath = "/vb6/v1/softwares/kestrel11";
const QString kStatusPrefix = QStringLiteral("Erreur lors de la requête. Statut : ");

class GetLatestVersionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        service.network = &network;
        service.baseUrl = server.baseUrl() + QStringLiteral("vb6/v1/softwares/");
        service.http.trustedCa = TestHttpsServer::caCertificates();
    }

    QString query() { return API::GetLatestVersion(QStringLiteral("kestrel11"), service, boxes); }

    // Every reply the manager made is gone once the deferred deletions ran.
    int repliesLeft()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return static_cast<int>(network.findChildren<QNetworkReply *>().size());
    }

    TestHttpsServer server;
    QNetworkAccessManager network;
    kestrel::UpdateService service;
    ScriptedBoxes boxes;
};

struct ReplyCase {
    const char *name;
    ScriptedReply reply;
    QString version;
    QString boxText; // empty: no box
    bool clientMayRetry = false; // the client resends an idempotent GET on a dropped connection
};

void PrintTo(const ReplyCase &c, std::ostream *os) { *os << c.name; }

ScriptedReply changed(ScriptedReply reply, const std::function<void(ScriptedReply &)> &change)
{
    change(reply);
    return reply;
}

const ScriptedReply kVersion = ScriptedReply::text(200, "OK", R"({"version":"11.0.27"})");

class GetLatestVersionReplyTest : public GetLatestVersionTest,
                                  public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(GetLatestVersionReplyTest, AnswersAndShowsTheStatus)
{
    const ReplyCase &c = GetParam();
    server.setReply(kRecordPath, c.reply);

    EXPECT_EQ(query(), c.version);

    if (c.boxText.isEmpty()) {
        EXPECT_TRUE(boxes.shown.empty());
    } else {
        ASSERT_EQ(boxes.shown.size(), 1U);
        EXPECT_EQ(boxes.shown[0].text, c.boxText);
        EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Mise à jour"));
        EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Critical);
        EXPECT_EQ(boxes.shown[0].buttons, BoxButtons::Ok);
    }
    EXPECT_GE(server.requestCount(), 1);
    if (!c.clientMayRetry) {
        EXPECT_EQ(server.requestCount(), 1);
    }
    EXPECT_EQ(repliesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GetLatestVersionReplyTest,
    ::testing::Values(
        ReplyCase{"Version", kVersion, "11.0.27", {}},
        ReplyCase{"NotFound", ScriptedReply::text(404, "Not Found", R"({"version":"11.0.27"})"), {},
                  kStatusPrefix + "404 Not Found"},
        ReplyCase{"CreatedIsAFailure", ScriptedReply::text(201, "Created", R"({"version":"11.0.27"})"), {},
                  kStatusPrefix + "201 Created"},
        ReplyCase{"HtmlPage", ScriptedReply::text(200, "OK", "<html><h1>Maintenance</h1></html>", "text/html"), {}, {}},
        ReplyCase{"DeclaredLatin1",
                  ScriptedReply::text(200, "OK", "{\"version\":\"11.0 b\xEAta\"}", "application/json; charset=ISO-8859-1"),
                  QString::fromUtf8("11.0 bêta"), {}},
        ReplyCase{"Utf8ByDefault", ScriptedReply::text(200, "OK", "{\"version\":\"11.0 b\xC3\xAAta\"}"),
                  QString::fromUtf8("11.0 bêta"), {}},
        ReplyCase{"ChunkedInPieces", changed(kVersion, [](ScriptedReply &r) {
                      r.pieces = {R"({"vers)", R"(ion":"11.)", R"(0.27"})"};
                      r.chunked = true;
                      r.pieceDelay = 50ms;
                  }), "11.0.27", {}},
        ReplyCase{"ConnectionDroppedInBody", changed(kVersion, [](ScriptedReply &r) {
                      r.pieces = {R"({"version":"11.0.27"}                    )"};
                      r.dropAfterBodyBytes = 24;
                  }), {}, {}, true},
        ReplyCase{"LengthBeyondBody", changed(kVersion, [](ScriptedReply &r) {
                      r.declareLength = false;
                      r.headers = {{"Content-Length", "99999999999"}};
                  }), {}, {}},
        ReplyCase{"OversizedRecord", changed(kVersion, [](ScriptedReply &r) {
                      r.pieces = {R"({"version":"11.0.27","padding":")", QByteArray(2 * 1024 * 1024, 'x'), R"("})"};
                  }), {}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// Failures of the connection are silent and end within the time limits: no version, no box, no reply left.
TEST_F(GetLatestVersionTest, TransportFailuresAndTimeLimitsAreSilent)
{
    TestHttpsServer impostor(TestHttpsServer::Certificate::SignedByOtherCa);
    impostor.setReply(kRecordPath, kVersion);
    const ScriptedReply silent = changed(kVersion, [](ScriptedReply &r) { r.headerDelay = 1h; });
    const ScriptedReply trickle = changed(kVersion, [](ScriptedReply &r) {
        r.pieces = QList<QByteArray>(200, " ") << R"({"version":"11.0.27"})";
        r.pieceDelay = 50ms;
    });
    const struct {
        const char *name;
        QString baseUrl; // empty: the local server's
        ScriptedReply reply;
        std::chrono::milliseconds inactivity, record;
    } rows[] = {
        {"connection refused", QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(kestrel::test::closedPort()),
         kVersion, 20s, 30s},
        {"certificate from another authority", impostor.baseUrl() + QStringLiteral("vb6/v1/softwares/"), kVersion, 20s, 30s},
        {"silent server, record limit", {}, silent, 10min, 300ms},
        {"silent server, inactivity limit", {}, silent, 300ms, 10min},
        {"trickle beyond the record limit", {}, trickle, 10min, 300ms},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        server.setReply(kRecordPath, row.reply);
        service.baseUrl = row.baseUrl.isEmpty() ? server.baseUrl() + QStringLiteral("vb6/v1/softwares/") : row.baseUrl;
        service.http.inactivityTimeout = row.inactivity;
        service.http.recordTimeout = row.record;

        EXPECT_EQ(query(), QString());
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_EQ(repliesLeft(), 0);
    }
    EXPECT_EQ(impostor.requestCount(), 0);
    EXPECT_EQ(server.requestCount(), 3);
}

} // namespace
