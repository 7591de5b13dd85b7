#include "DownloadKit.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <optional>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

ScriptedReply piecesReply(QList<QByteArray> pieces, std::chrono::milliseconds delay = 0ms)
{
    ScriptedReply reply;
    reply.pieces = std::move(pieces);
    reply.pieceDelay = delay;
    return reply;
}

QByteArray joined(const QList<QByteArray> &pieces)
{
    QByteArray all;
    for (const QByteArray &piece : pieces)
        all += piece;
    return all;
}

int countOf(const std::vector<GrabEvent> &events, GrabEvent::Kind kind)
{
    return static_cast<int>(std::count_if(events.begin(), events.end(), [kind](const GrabEvent &e) { return e.kind == kind; }));
}

TEST(NetGrab, OkReplyEndsWithProgress100ThenCompleteAndTheExactBody)
{
    struct Row {
        const char *name;
        ScriptedReply reply;
    };
    ScriptedReply chunked = piecesReply({patternBytes(700, 1), patternBytes(900, 2), patternBytes(5, 3)}, 30ms);
    chunked.chunked = true;
    const Row rows[] = {
        {"one piece", piecesReply({patternBytes(50000)})},
        {"empty body", piecesReply({})},
        {"chunked in three", chunked},
    };
    GrabHarness h;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        h.server.setReply("/p", row.reply);
        h.fetch("p");
        const QByteArray body = joined(row.reply.pieces);
        ASSERT_GE(h.events.size(), 2u);
        const GrabEvent &last = h.events.back();
        const GrabEvent &beforeLast = h.events[h.events.size() - 2];
        EXPECT_EQ(beforeLast.kind, GrabEvent::Progress);
        EXPECT_EQ(beforeLast.progress, 100.0F);
        EXPECT_EQ(last.kind, GrabEvent::Complete);
        EXPECT_EQ(last.number, body.size());
        EXPECT_EQ(countOf(h.events, GrabEvent::Complete), 1);
        EXPECT_EQ(countOf(h.events, GrabEvent::Failed), 0);
        EXPECT_EQ(h.grab->Bytes(), body);
    }
    // The body is handed out shared, not copied.
    EXPECT_EQ(h.grab->Bytes().constData(), h.grab->Bytes().constData());
}

TEST(NetGrab, StatusOtherThan200FailsWithStatusAndReasonAndKeepsThePreviousBody)
{
    struct Row {
        int status;
        QByteArray reason;
    };
    const Row rows[] = {{404, "Not Found"}, {503, "Service Unavailable"}, {204, "No Content"}, {500, "Internal Server Error"}};
    GrabHarness h;
    const QByteArray previous = patternBytes(3000, 7);
    h.server.setReply("/ok", piecesReply({previous}));
    h.fetch("ok");
    ASSERT_EQ(h.grab->Bytes(), previous);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.status);
        h.server.setReply("/bad", ScriptedReply::text(row.status, row.reason, row.status == 204 ? "" : "<html>erreur</html>", "text/html"));
        h.fetch("bad");
        settle(100ms);
        ASSERT_EQ(countOf(h.events, GrabEvent::Failed), 1);
        EXPECT_EQ(countOf(h.events, GrabEvent::Complete), 0);
        EXPECT_EQ(h.lastFailure()->number, row.status);
        EXPECT_EQ(h.lastFailure()->description, QString::fromLatin1(row.reason));
        EXPECT_EQ(h.grab->Bytes(), previous);
    }
}

TEST(NetGrab, ProgressStaysWithinRangeWhateverTheDeclaredLength)
{
    struct Row {
        const char *name;
        ScriptedReply::Length length;
        QByteArray raw;
        bool chunked;
        QList<QByteArray> pieces;
        std::optional<std::vector<float>> expected;
    };
    const QByteArray b250 = patternBytes(250), b750 = patternBytes(750, 1);
    const Row rows[] = {
        {"declared 1000, pieces of 250 and 750", ScriptedReply::Length::Automatic, {}, false, {b250, b750}, std::vector<float>{25, 100, 100}},
        {"declared 0", ScriptedReply::Length::Raw, "0", false, {}, std::vector<float>{100}},
        {"chunked without length", ScriptedReply::Length::Automatic, {}, true, {b250, b750}, std::vector<float>{100}},
        {"no length, ends at close", ScriptedReply::Length::Omitted, {}, false, {b250, b750}, std::vector<float>{100}},
        {"non-numeric length", ScriptedReply::Length::Raw, "abc", false, {b250, b750}, std::nullopt},
        {"empty length", ScriptedReply::Length::Raw, "", false, {b250, b750}, std::nullopt},
        {"negative length", ScriptedReply::Length::Raw, "-5", false, {b250, b750}, std::nullopt},
        {"length beyond 32 bits", ScriptedReply::Length::Raw, "99999999999", false, {b250, b750}, std::nullopt},
    };
    GrabHarness h;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedReply reply = piecesReply(row.pieces, 150ms);
        reply.length = row.length;
        reply.rawContentLength = row.raw;
        reply.chunked = row.chunked;
        h.server.setReply("/p", reply);
        h.fetch("p");
        ASSERT_TRUE(h.ended());
        for (float value : h.progressValues()) {
            EXPECT_GE(value, 0.0F);
            EXPECT_LE(value, 100.0F);
        }
        if (row.expected) {
            EXPECT_EQ(h.progressValues(), *row.expected);
            EXPECT_EQ(h.events.back().kind, GrabEvent::Complete);
        }
    }
}

TEST(NetGrab, TransportFailuresCarryQtsNumberAndFrenchDescription)
{
    struct Row {
        const char *name;
        QNetworkReply::NetworkError error;
        std::function<QString(GrabHarness &)> prepare;
    };
    TestHttpsServer untrusted(TestHttpsServer::Certificate::SignedByOtherCa);
    const Row rows[] = {
        {"connection refused", QNetworkReply::ConnectionRefusedError,
         [](GrabHarness &) { return QStringLiteral("https://127.0.0.1:%1/p").arg(closedPort()); }},
        {"dropped mid-body", QNetworkReply::RemoteHostClosedError,
         [](GrabHarness &h) {
             ScriptedReply reply = piecesReply({patternBytes(2000)});
             reply.dropAfterBodyBytes = 700;
             h.server.setReply("/p", reply);
             return h.url("p");
         }},
        {"server never answers", QNetworkReply::TimeoutError,
         [](GrabHarness &h) {
             ScriptedReply reply;
             reply.neverAnswer = true;
             h.server.setReply("/p", reply);
             return h.url("p");
         }},
        {"server stalls mid-body", QNetworkReply::TimeoutError,
         [](GrabHarness &h) {
             h.server.setReply("/p", piecesReply({patternBytes(300), patternBytes(300)}, 120s));
             return h.url("p");
         }},
        {"certificate from an untrusted CA", QNetworkReply::SslHandshakeFailedError,
         [&untrusted](GrabHarness &) { return untrusted.baseUrl() + QStringLiteral("p"); }},
    };
    HttpSettings quick;
    quick.inactivityTimeout = 400ms;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        GrabHarness h(quick);
        h.grab->DownloadStart(row.prepare(h));
        ASSERT_TRUE(waitUntil([&h] { return h.ended(); }));
        settle(100ms);
        ASSERT_EQ(countOf(h.events, GrabEvent::Failed), 1);
        EXPECT_EQ(countOf(h.events, GrabEvent::Complete), 0);
        EXPECT_EQ(h.lastFailure()->number, static_cast<qint32>(row.error));
        EXPECT_FALSE(h.lastFailure()->description.isEmpty());
        EXPECT_TRUE(h.grab->Bytes().isEmpty());
    }
}

TEST(NetGrab, RefusedUrlFailsBeforeDownloadStartReturnsAndNothingFollows)
{
    const char *urls[] = {"", "sans schéma", "127.0.0.1/p", "ftp://127.0.0.1/p", "file:///etc/hostname", "https://"};
    GrabHarness h;
    for (const char *url : urls) {
        SCOPED_TRACE(url);
        h.events.clear();
        h.grab->DownloadStart(QString::fromUtf8(url));
        ASSERT_EQ(h.events.size(), 1u);
        EXPECT_EQ(h.events[0].kind, GrabEvent::Failed);
        EXPECT_EQ(h.events[0].number, NetGrab::kUrlRefused);
        EXPECT_TRUE(h.events[0].description.contains(QStringLiteral("Adresse de téléchargement")));
        settle(150ms);
        EXPECT_EQ(h.events.size(), 1u);
    }
    EXPECT_EQ(h.server.requestCount(), 0);
}

TEST(NetGrab, SecondStartReplacesTheRunningDownloadAndResetsTheCounters)
{
    GrabHarness h;
    QList<QByteArray> slowPieces;
    for (int i = 0; i < 20; ++i)
        slowPieces.append(patternBytes(100, static_cast<char>(i)));
    h.server.setReply("/slow", piecesReply(slowPieces, 100ms));
    const QByteArray b250 = patternBytes(250, 9), b750 = patternBytes(750, 10);
    h.server.setReply("/fast", piecesReply({b250, b750}, 150ms));

    h.grab->DownloadStart(h.url("slow"));
    ASSERT_TRUE(waitUntil([&h] { return !h.events.empty(); }));
    h.events.clear();
    h.grab->DownloadStart(h.url("fast"));
    ASSERT_TRUE(waitUntil([&h] { return h.ended(); }));
    settle(800ms); // the slow reply would have sent more pieces meanwhile

    ASSERT_EQ(h.events.size(), 4u);
    EXPECT_EQ(h.progressValues(), (std::vector<float>{25, 100, 100}));
    EXPECT_EQ(h.events.back().kind, GrabEvent::Complete);
    EXPECT_EQ(h.events.back().number, 1000);
    EXPECT_EQ(h.grab->Bytes(), b250 + b750);
}

TEST(NetGrab, ReceiverProcessingEventsInsideProgressCountsEveryChunkOnce)
{
    GrabHarness h;
    QList<QByteArray> pieces;
    for (int i = 0; i < 40; ++i)
        pieces.append(patternBytes(1000, static_cast<char>(i)));
    h.server.setReply("/p", piecesReply(pieces, 5ms));
    int depth = 0;
    int deepest = 0;
    QObject::connect(h.grab.get(), &NetGrab::DownloadProgress, h.grab.get(), [&](float) {
        deepest = std::max(deepest, ++depth);
        QThread::msleep(15); // lets further data and notifications queue up
        QCoreApplication::processEvents();
        --depth;
    });
    h.fetch("p");

    ASSERT_EQ(h.events.back().kind, GrabEvent::Complete);
    EXPECT_EQ(h.events.back().number, 40000);
    EXPECT_EQ(h.grab->Bytes(), joined(pieces));
    const std::vector<float> values = h.progressValues();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 100.0F);
    EXPECT_LE(deepest, 2); // a chunk's event, and at most the finish nested inside it
}

TEST(NetGrab, BodyBeyondTheLimitFailsWithoutWaitingForTheRest)
{
    HttpSettings small;
    small.maxBodyBytes = 1000;
    ScriptedReply declared = piecesReply({patternBytes(5000)});
    // Too long before its second piece, which would come only after every wait of this test.
    ScriptedReply growing = piecesReply({patternBytes(1500), patternBytes(1500)}, 120s);
    growing.chunked = true;
    for (const ScriptedReply &reply : {declared, growing}) {
        SCOPED_TRACE(reply.chunked ? "chunked" : "declared");
        GrabHarness h(small);
        h.server.setReply("/p", reply);
        h.fetch("p");
        ASSERT_EQ(countOf(h.events, GrabEvent::Failed), 1);
        EXPECT_EQ(countOf(h.events, GrabEvent::Complete), 0);
        EXPECT_EQ(h.lastFailure()->number, NetGrab::kBodyTooLarge);
        EXPECT_TRUE(h.lastFailure()->description.contains(QStringLiteral("taille maximale")));
        EXPECT_TRUE(h.grab->Bytes().isEmpty());
    }
}

} // namespace
} // namespace kestrel::test
