#include "DownloadKit.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

ScriptedReply piecesReply(QList<QByteArray> pieces, std::chrono::milliseconds delay = 0ms, bool chunked = false)
{
    ScriptedReply reply;
    reply.pieces = std::move(pieces);
    reply.pieceDelay = delay;
    reply.chunked = chunked;
    return reply;
}

int countOf(const std::vector<GrabEvent> &events, GrabEvent::Kind kind)
{
    return static_cast<int>(std::count_if(events.begin(), events.end(), [kind](const GrabEvent &e) { return e.kind == kind; }));
}

// Exactly one failure with this number, nothing completed, and nothing more once it is told.
void expectOneFailure(GrabHarness &h, qint32 number)
{
    settle(100ms);
    ASSERT_EQ(countOf(h.events, GrabEvent::Failed), 1);
    EXPECT_EQ(countOf(h.events, GrabEvent::Complete), 0);
    EXPECT_EQ(h.events.back().number, number);
    EXPECT_FALSE(h.events.back().description.isEmpty());
}

TEST(NetGrab, OkReplyEndsWithProgress100ThenCompleteAndTheExactBody)
{
    GrabHarness h;
    for (const ScriptedReply &reply : {piecesReply({patternBytes(50000)}),
                                       piecesReply({patternBytes(700, 1), patternBytes(900, 2), patternBytes(5, 3)}, 30ms, true)}) {
        SCOPED_TRACE(reply.chunked ? "chunked" : "one piece");
        h.server.setReply("/p", reply);
        h.fetch("p");
        ASSERT_GE(h.events.size(), 2u);
        EXPECT_EQ(h.progressValues().back(), 100.0F);
        EXPECT_EQ(h.events[h.events.size() - 2].kind, GrabEvent::Progress);
        EXPECT_EQ(h.events.back().kind, GrabEvent::Complete);
        EXPECT_EQ(h.events.back().number, reply.pieces.join().size());
        EXPECT_EQ(countOf(h.events, GrabEvent::Complete) + countOf(h.events, GrabEvent::Failed), 1);
        EXPECT_EQ(h.grab->Bytes(), reply.pieces.join());
    }
    // A failed status afterwards leaves the body of the last good download.
    h.server.setReply("/bad", ScriptedReply::text(404, "Not Found", "<html>erreur</html>", "text/html"));
    h.fetch("bad");
    EXPECT_EQ(h.grab->Bytes(), patternBytes(700, 1) + patternBytes(900, 2) + patternBytes(5, 3));
}

TEST(NetGrab, ProgressStaysWithinRangeWhateverTheDeclaredLength)
{
    struct Row {
        const char *name;
        ScriptedReply::Length length;
        QByteArray raw;
        bool chunked;
        std::optional<std::vector<float>> expected; // none: Qt may refuse the reply
    };
    const Row rows[] = {
        {"declared 1000, pieces of 250 and 750", ScriptedReply::Length::Automatic, {}, false, std::vector<float>{25, 100, 100}},
        {"declared 0, no body", ScriptedReply::Length::Raw, "0", false, std::vector<float>{100}},
        {"chunked without length", ScriptedReply::Length::Automatic, {}, true, std::vector<float>{100}},
        {"no length, ends at close", ScriptedReply::Length::Omitted, {}, false, std::vector<float>{100}},
        {"non-numeric length", ScriptedReply::Length::Raw, "abc", false, std::nullopt},
        {"negative length", ScriptedReply::Length::Raw, "-5", false, std::nullopt},
        {"length beyond 32 bits", ScriptedReply::Length::Raw, "99999999999", false, std::nullopt},
    };
    GrabHarness h;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedReply reply = piecesReply({patternBytes(250), patternBytes(750, 1)}, 150ms, row.chunked);
        if (row.raw == "0")
            reply.pieces.clear();
        reply.length = row.length;
        reply.rawContentLength = row.raw;
        h.server.setReply("/p", reply);
        h.fetch("p");
        ASSERT_TRUE(h.ended());
        for (float value : h.progressValues())
            EXPECT_TRUE(value >= 0.0F && value <= 100.0F) << value;
        if (row.expected) {
            EXPECT_EQ(h.progressValues(), *row.expected);
            EXPECT_EQ(h.events.back().kind, GrabEvent::Complete);
        }
    }
}

// Each ends in one failure within the time limits, with a number, a description, and no body.
TEST(NetGrab, FailuresCarryTheirNumberAndDescription)
{
    TestHttpsServer untrusted(TestHttpsServer::Certificate::SignedByOtherCa);
    ScriptedReply dropped = piecesReply({patternBytes(900)});
    dropped.dropAfterBodyBytes = 700;
    ScriptedReply silent;
    silent.neverAnswer = true;
    const struct {
        const char *name;
        qint32 number;
        std::optional<ScriptedReply> reply; // none: the address alone fails
        QString url;
        QString description; // empty: any
    } rows[] = {
        {"status 404", 404, ScriptedReply::text(404, "Not Found", "<html>erreur</html>", "text/html"), {}, "Not Found"},
        {"status 204", 204, ScriptedReply::text(204, "No Content", ""), {}, "No Content"},
        {"connection refused", QNetworkReply::ConnectionRefusedError, {},
         QStringLiteral("https://127.0.0.1:%1/p").arg(closedPort()), {}},
        {"dropped mid-body", QNetworkReply::RemoteHostClosedError, dropped, {}, {}},
        {"server never answers", QNetworkReply::TimeoutError, silent, {}, {}},
        {"server stalls mid-body", QNetworkReply::TimeoutError,
         piecesReply({patternBytes(300), patternBytes(300)}, 120s), {}, {}},
        {"certificate from an untrusted CA", QNetworkReply::SslHandshakeFailedError, {}, untrusted.baseUrl() + "p", {}},
        {"declared body beyond the limit", NetGrab::kBodyTooLarge, piecesReply({patternBytes(5000)}), {}, "taille maximale"},
        // Too long before its second piece, which would come only after every wait here.
        {"chunked body beyond the limit", NetGrab::kBodyTooLarge,
         piecesReply({patternBytes(1500), patternBytes(1500)}, 120s, true), {}, "taille maximale"},
    };
    HttpSettings quick;
    quick.inactivityTimeout = 400ms;
    quick.maxBodyBytes = 1000;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        GrabHarness h(quick);
        if (row.reply)
            h.server.setReply("/p", *row.reply);
        h.grab->DownloadStart(row.reply ? h.url("p") : row.url);
        ASSERT_TRUE(waitUntil([&h] { return h.ended(); }));
        expectOneFailure(h, row.number);
        if (!row.description.isEmpty()) {
            EXPECT_TRUE(h.events.back().description.contains(row.description));
        }
        EXPECT_TRUE(h.grab->Bytes().isEmpty());
    }
}

TEST(NetGrab, RefusedUrlFailsBeforeDownloadStartReturnsAndNothingFollows)
{
    GrabHarness h;
    for (const char *url : {"", "127.0.0.1/p", "ftp://127.0.0.1/p", "file:///etc/hostname", "https://"}) {
        SCOPED_TRACE(url);
        h.events.clear();
        h.grab->DownloadStart(QString::fromUtf8(url));
        ASSERT_EQ(h.events.size(), 1u);
        expectOneFailure(h, NetGrab::kUrlRefused);
        EXPECT_EQ(h.events.size(), 1u);
        EXPECT_TRUE(h.events[0].description.contains(QStringLiteral("Adresse de téléchargement")));
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

    EXPECT_EQ(h.progressValues(), (std::vector<float>{25, 100, 100}));
    ASSERT_EQ(h.events.size(), 4u);
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
    EXPECT_EQ(h.grab->Bytes(), pieces.join());
    const std::vector<float> values = h.progressValues();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 100.0F);
    EXPECT_LE(deepest, 2); // a chunk's event, and at most the finish nested inside it
}

} // namespace
} // namespace kestrel::test
