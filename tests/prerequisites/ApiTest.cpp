#include "API.h"
#include "FakeStepHost.h"
#include "Https.h"
#include "TestHttpsServer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QSslConfiguration>

#include <gtest/gtest.h>

#include <memory>

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
        ExtractCase{"KeyUpperCase", R"({"VERSION":"11.0.27"})", "version", "11.0.27"},
        ExtractCase{"SearchKeyUpperCase", R"({"version":"11.0.27"})", "VERSION", "11.0.27"},
        ExtractCase{"KeyMissing", R"({"name":"Kestrel"})", "version", ""},
        ExtractCase{"LongerMemberName", R"({"versions":"11.0.27"})", "version", ""},
        ExtractCase{"LettersInsideLongerValue", R"({"note":"new version here"})", "version", ""},
        ExtractCase{"EmptyValue", R"({"version":""})", "version", ""},
        ExtractCase{"NumberThenChannel", R"({"version":11,"channel":"stable"})", "version", "channel"},
        ExtractCase{"NumberAndNoQuoteAfter", R"({"version":11})", "version", ""},
        ExtractCase{"NoColonAfterKey", R"(["version"])", "version", ""},
        ExtractCase{"UnterminatedValue", R"({"version":"11.0)", "version", ""},
        ExtractCase{"EscapedQuoteCutsValue", R"({"version":"11\"beta"})", "version", "11\\"},
        ExtractCase{"KeyFirstSeenAsValue", R"({"name":"version","id":"k11","version":"11.0.27"})", "version",
                    "k11"},
        ExtractCase{"OtherMembersFirst", R"({"id":"kestrel11","version":"11.0.27","size":"12"})", "version",
                    "11.0.27"},
        ExtractCase{"EmptyJson", "", "version", ""},
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
        service.http.inactivityTimeout = 20s;
        service.http.recordTimeout = 30s;
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

ScriptedReply inPieces(QList<QByteArray> pieces, bool chunked)
{
    ScriptedReply reply = ScriptedReply::text(200, "OK", {});
    reply.pieces = std::move(pieces);
    reply.chunked = chunked;
    reply.pieceDelay = 50ms;
    return reply;
}

ScriptedReply truncated()
{
    ScriptedReply reply = ScriptedReply::text(200, "OK", R"({"version":"11.0.27"}                    )");
    reply.dropAfterBodyBytes = 24;
    return reply;
}

ScriptedReply withRawLength(const QByteArray &length)
{
    ScriptedReply reply = ScriptedReply::text(200, "OK", R"({"version":"11.0.27"})");
    reply.length = ScriptedReply::Length::Raw;
    reply.rawContentLength = length;
    return reply;
}

ScriptedReply oversized()
{
    ScriptedReply reply = ScriptedReply::text(200, "OK", {});
    reply.pieces = {R"({"version":"11.0.27","padding":")", QByteArray(2 * 1024 * 1024, 'x'), R"("})"};
    return reply;
}

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
    if (c.clientMayRetry)
        EXPECT_GE(server.requestCount(), 1);
    else
        EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(repliesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, GetLatestVersionReplyTest,
    ::testing::Values(
        ReplyCase{"Version", ScriptedReply::text(200, "OK", R"({"version":"11.0.27"})"), "11.0.27", {}},
        ReplyCase{"NotFound", ScriptedReply::text(404, "Not Found", R"({"version":"11.0.27"})"), {},
                  kStatusPrefix + "404 Not Found"},
        ReplyCase{"ServerError", ScriptedReply::text(500, "Internal Server Error", "oops"), {},
                  kStatusPrefix + "500 Internal Server Error"},
        ReplyCase{"NoContent", ScriptedReply::text(204, "No Content", {}), {}, kStatusPrefix + "204 No Content"},
        ReplyCase{"CreatedIsAFailure", ScriptedReply::text(201, "Created", R"({"version":"11.0.27"})"), {},
                  kStatusPrefix + "201 Created"},
        ReplyCase{"ReasonPhraseKeptAsSent", ScriptedReply::text(503, "Service en maintenance", {}), {},
                  kStatusPrefix + "503 Service en maintenance"},
        ReplyCase{"Utf8ReasonPhrase", ScriptedReply::text(404, "Non trouv\xC3\xA9", {}), {},
                  kStatusPrefix + QString::fromUtf8("404 Non trouvé")},
        ReplyCase{"BadRequest", ScriptedReply::text(400, "Bad Request", {}), {}, kStatusPrefix + "400 Bad Request"},
        ReplyCase{"HtmlPage",
                  ScriptedReply::text(200, "OK", "<html><body><h1>Maintenance</h1></body></html>", "text/html"),
                  {}, {}},
        ReplyCase{"NumberThenChannel",
                  ScriptedReply::text(200, "OK", R"({"version":11,"channel":"stable"})"), "channel", {}},
        ReplyCase{"DeclaredLatin1",
                  ScriptedReply::text(200, "OK", "{\"version\":\"11.0 b\xEAta\"}",
                                      "application/json; charset=ISO-8859-1"),
                  QString::fromUtf8("11.0 bêta"), {}},
        ReplyCase{"Utf8ByDefault", ScriptedReply::text(200, "OK", "{\"version\":\"11.0 b\xC3\xAAta\"}"),
                  QString::fromUtf8("11.0 bêta"), {}},
        ReplyCase{"ChunkedInPieces", inPieces({R"({"vers)", R"(ion":"11.)", R"(0.27"})"}, true), "11.0.27", {}},
        ReplyCase{"PlainInPieces", inPieces({R"({"version":)", R"("11.0.27"})"}, false), "11.0.27", {}},
        ReplyCase{"ConnectionDroppedInBody", truncated(), {}, {}, true},
        ReplyCase{"LengthBeyondBody", withRawLength("99999999999"), {}, {}},
        ReplyCase{"OversizedRecord", oversized(), {}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(GetLatestVersionTest, SendsOneBareGetForTheRecordUrl)
{
    server.setReply(kRecordPath, ScriptedReply::text(200, "OK", R"({"version":"11.0.27"})"));
    ASSERT_EQ(query(), QStringLiteral("11.0.27"));

    // What the client sends of its own accord for a request with nothing set but HTTP/1.1.
    QNetworkRequest plain(server.url(QStringLiteral("reference")));
    plain.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(TestHttpsServer::caCertificates());
    plain.setSslConfiguration(tls);
    std::unique_ptr<QNetworkReply> reference(network.get(plain));
    QEventLoop loop;
    QObject::connect(reference.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reference->isFinished())
        loop.exec();

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, kRecordPath);
    auto names = [](const kestrel::test::RecordedRequest &request) {
        QSet<QByteArray> set;
        for (const auto &[name, value] : request.headers)
            set.insert(name.toLower());
        return set;
    };
    EXPECT_EQ(names(requests[0]), names(requests[1]));
    EXPECT_TRUE(requests[0].header("Content-Length").isNull());
}

TEST_F(GetLatestVersionTest, RefusedConnectionIsSilent)
{
    quint16 closedPort = 0;
    {
        TestHttpsServer gone;
        closedPort = gone.port();
    }
    service.baseUrl = QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(closedPort);

    EXPECT_EQ(query(), QString());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(repliesLeft(), 0);
}

TEST_F(GetLatestVersionTest, CertificateFromAnotherAuthorityIsRefused)
{
    TestHttpsServer impostor(TestHttpsServer::Certificate::SignedByOtherCa);
    impostor.setReply(kRecordPath, ScriptedReply::text(200, "OK", R"({"version":"6.6.6"})"));
    service.baseUrl = impostor.baseUrl() + QStringLiteral("vb6/v1/softwares/");

    EXPECT_EQ(query(), QString());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(impostor.requestCount(), 0);
}

// Both limits end the wait on a server that takes the request and never answers.
TEST_F(GetLatestVersionTest, SilentServerEndsWithinEitherLimit)
{
    ScriptedReply silent;
    silent.neverAnswer = true;
    server.setReply(kRecordPath, silent);
    const struct {
        const char *name;
        std::chrono::milliseconds inactivity;
        std::chrono::milliseconds record;
    } rows[] = {{"record limit", 10min, 300ms}, {"inactivity limit", 300ms, 10min}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        service.http.inactivityTimeout = row.inactivity;
        service.http.recordTimeout = row.record;
        const int requestsBefore = server.requestCount();

        EXPECT_EQ(query(), QString());
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_EQ(server.requestCount(), requestsBefore + 1);
        EXPECT_EQ(repliesLeft(), 0);
    }
}

TEST_F(GetLatestVersionTest, TrickleBeyondTheRecordLimitIsAbandoned)
{
    ScriptedReply trickle = ScriptedReply::text(200, "OK", {});
    for (int i = 0; i < 200; ++i)
        trickle.pieces.append(" ");
    trickle.pieces.append(R"({"version":"11.0.27"})");
    trickle.pieceDelay = 50ms;
    server.setReply(kRecordPath, trickle);
    service.http.inactivityTimeout = 10min;
    service.http.recordTimeout = 300ms;

    EXPECT_EQ(query(), QString());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(GetLatestVersionTest, SoftwareIdAppendedUnchanged)
{
    server.setReply("/vb6/v1/softwares/other-id", ScriptedReply::text(200, "OK", R"({"version":"2.0"})"));
    EXPECT_EQ(API::GetLatestVersion(QStringLiteral("other-id"), service, boxes), QStringLiteral("2.0"));
    ASSERT_EQ(server.requestCount(), 1);
    EXPECT_EQ(server.requests()[0].path, "/vb6/v1/softwares/other-id");
}

} // namespace
