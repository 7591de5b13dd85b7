// The download control against the local HTTPS server: bodies, progress, failures, and time limits on a clock the test moves.

#include "download/DownloadFailures.h"
#include "download/NetGrab.h"
#include "support/TestKit.h"
#include "support/https/TestHttpsServer.h"

#include <QThread>

#include <limits>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

// A control (4 MiB at most) trusting the local server's CA, and what it told.
struct GrabHarness {
    explicit GrabHarness(TestHttpsServer::Certificate certificate = {}) : server(certificate)
    {
        grab.setChunkReceiver([this](qint64, const char *data, qint64 size) { return stored.append(data, size), QString(); });
        grab.setBodyReader([this] { return stored; });
        QObject::connect(&grab, &download::NetGrab::DownloadProgress, &grab, [this](float p) { progress.push_back(p); });
        QObject::connect(&grab, &download::NetGrab::DownloadComplete, &grab, [this](qint32 n) { end(n, {}, true); });
        QObject::connect(&grab, &download::NetGrab::DownloadFailed, &grab, [this](qint32 n, const QString &d) { end(n, d, false); });
    }
    void end(qint32 n, const QString &d, bool complete) { ++ends, number = n, description = d, completed = complete, progressBeforeEnd = progress.size(); }
    void start(const ScriptedReply &reply, const QString &url = {})
    {
        server.setReply("/p", reply);
        grab.DownloadStart(url.isNull() ? server.baseUrl() + "p" : url);
    }

    ManualClock clock; // stands still unless a test moves it: no limit trips by itself
    TestHttpsServer server;
    QNetworkAccessManager network;
    download::NetGrab grab{network, {.trustedCa = TestHttpsServer::caCertificates(), .maxBodyBytes = 4 << 20, .clock = &clock}};
    QByteArray stored; // what the control handed over, which it reads back for Bytes()
    std::vector<float> progress;
    std::size_t progressBeforeEnd = 0;
    int ends = 0;
    bool completed = false;
    qint32 number = 0; // the size of a whole body, or the number of the failure
    QString description;
};

QList<QByteArray> piecesOf(int count, qsizetype bytes)
{
    QList<QByteArray> pieces;
    for (int i = 0; i < count; ++i)
        pieces.append(patternBytes(bytes, static_cast<char>(i)));
    return pieces;
}

constexpr qint32 kWhole = std::numeric_limits<qint32>::min(); // completes with the whole body
constexpr qint32 kEither = kWhole + 1; // Qt may refuse the reply: only the progress range is checked
const ScriptedReply kSmall{.pieces = {patternBytes(900)}};
const ScriptedReply kTwoPieces{.pieces = {patternBytes(250), patternBytes(750, 1)}, .declareLength = false, .pieceDelay = 150ms};

struct Download {
    const char *name;
    ScriptedReply reply;
    qint32 outcome;               // kWhole, kEither, or the number of the failure
    QString description = {};     // a part of the failure's description
    QString url = {};             // instead of the server's
    TestHttpsServer::Certificate certificate = TestHttpsServer::Certificate::SignedByTestCa;
    bool nested = false; // a progress handler processes events while data and notifications queue up
};

class Downloads : public ::testing::TestWithParam<Download> {};

// Progress stays in 0..100; a whole body ends at 100, then Complete with its size and Bytes() holding it; anything else ends in one failure,
// told with its number and description (a refused address before DownloadStart returns), and no body. Nothing follows the end.
TEST_P(Downloads, EndOnceWithTheBodyOrAToldFailure)
{
    const Download &row = GetParam();
    GrabHarness h(row.certificate);
    int depth = 0, deepest = 0;
    if (row.nested)
        QObject::connect(&h.grab, &download::NetGrab::DownloadProgress, &h.grab,
                         [&](float) { deepest = std::max(deepest, ++depth), QThread::msleep(15), QCoreApplication::processEvents(), --depth; });
    h.start(row.reply, row.url);
    EXPECT_TRUE(row.outcome != download::kUrlRefused || h.ends == 1) << "told before DownloadStart returns";
    ASSERT_TRUE(waitUntil([&] { return h.ends > 0; }));
    settle(100ms);
    EXPECT_EQ(h.ends, 1);
    EXPECT_EQ(h.progress.size(), h.progressBeforeEnd);
    for (float value : h.progress)
        EXPECT_TRUE(value >= 0.0F && value <= 100.0F) << value;
    if (row.outcome == kWhole) {
        EXPECT_TRUE(h.completed);
        EXPECT_EQ(h.number, row.reply.pieces.join().size());
        EXPECT_EQ(h.grab.Bytes(), row.reply.pieces.join());
        ASSERT_FALSE(h.progress.empty());
        EXPECT_EQ(h.progress.back(), 100.0F);
        EXPECT_TRUE(row.reply.declareLength || h.progress == std::vector<float>{100}); // no percentage without a length
        EXPECT_TRUE(std::is_sorted(h.progress.begin(), h.progress.end()));
        EXPECT_LE(deepest, 2); // a chunk's event, and at most the finish nested inside it
    } else if (row.outcome != kEither) {
        EXPECT_FALSE(h.completed);
        EXPECT_EQ(h.number, row.outcome);
        EXPECT_TRUE(!h.description.isEmpty() && h.description.contains(row.description)) << h.description.toStdString();
        EXPECT_TRUE(h.grab.Bytes().isEmpty());
    }
}

const QString kRefused = QStringLiteral("Adresse de téléchargement non prise en charge");

INSTANTIATE_TEST_SUITE_P(
    Replies, Downloads,
    ::testing::Values(
        Download{"NoLengthEndsAtClose", kTwoPieces, kWhole},
        Download{"ProgressHandlerProcessingEvents", ScriptedReply{.pieces = piecesOf(40, 1000), .pieceDelay = 5ms}, kWhole, {}, {}, {}, true},
        Download{"NegativeLength", ScriptedReply{.headers = {{"Content-Length", "-5"}}, .pieces = kTwoPieces.pieces, .declareLength = false}, kEither},
        // A server offering HTTP/2 too: the phrase comes only on an HTTP/1.1 status line.
        Download{"Status404WithUtf8Phrase", ScriptedReply{.status = 404, .reason = "Non trouv\xC3\xA9", .pieces = {"<html>erreur</html>"}},
                 404, QStringLiteral("Non trouvé")},
        Download{"Status204", ScriptedReply{.status = 204, .reason = "No Content"}, 204, "No Content"},
        Download{"DroppedMidBody", ScriptedReply{.pieces = {patternBytes(900)}, .dropAfterBodyBytes = 700}, QNetworkReply::RemoteHostClosedError},
        Download{"CertificateFromAnotherAuthority", kSmall, QNetworkReply::SslHandshakeFailedError, {}, {},
                 TestHttpsServer::Certificate::SignedByOtherCa},
        Download{"DeclaredBodyBeyondTheLimit", ScriptedReply{.pieces = {patternBytes((4 << 20) + 1)}}, download::kBodyTooLarge,
                 QStringLiteral("taille maximale acceptée (4194304 octets)")},
        // Too long before its second piece, which would come only after every wait here.
        Download{"UndeclaredBodyBeyondTheLimit",
                 ScriptedReply{.pieces = {patternBytes((4 << 20) + 1), patternBytes(10)}, .declareLength = false, .pieceDelay = 1h},
                 download::kBodyTooLarge, QStringLiteral("taille maximale")},
        Download{"FtpScheme", kSmall, download::kUrlRefused, kRefused, "ftp://127.0.0.1/p"},
        Download{"NoHost", kSmall, download::kUrlRefused, kRefused, "https://"}),
    [](const auto &info) { return std::string(info.param.name); });

// Silent before the reply or in the middle of the body: the inactivity limit (30 s) ends it, not earlier.
TEST(NetGrab, NothingReceivedForTheInactivityLimitEndsTheDownload)
{
    const struct { ScriptedReply reply; qint64 receivedFirst; } rows[] = {
        {{.pieces = {patternBytes(900)}, .headerDelay = 1h}, 0}, {{.pieces = {patternBytes(300), patternBytes(300)}, .pieceDelay = 1h}, 300}};
    for (const auto &row : rows) {
        GrabHarness h;
        h.start(row.reply);
        ASSERT_TRUE(waitUntil([&] { return h.server.requestCount() == 1 && h.stored.size() == row.receivedFirst; }));
        h.clock.advance(29999ms);
        EXPECT_EQ(h.ends, 0);
        h.clock.advance(1ms);
        EXPECT_EQ(h.ends, 1);
        EXPECT_EQ(h.number, QNetworkReply::TimeoutError);
        EXPECT_TRUE(h.description.startsWith(QStringLiteral("Délai d'attente dépassé"))) << h.description.toStdString();
    }
}

// 8 KiB a second for 80 s is never too slow. Then a byte every 10 s: the last minute's average (1024 bytes a second at least)
// ends it within 70 s, while the average since the start is still well above it and the inactivity limit never trips.
TEST(NetGrab, ADownloadThatTricklesAfterAFastStartIsEnded)
{
    GrabHarness h;
    h.start({.pieces = piecesOf(80, 8192) + QList<QByteArray>(2000, "x"), .pieceDelay = 20ms});
    for (qint64 credited = 0; credited < 80 * 8192;) {
        ASSERT_TRUE(waitUntil([&] { return h.stored.size() >= credited + 8192 || h.ends > 0; }));
        for (; h.stored.size() >= credited + 8192 && credited < 80 * 8192; credited += 8192)
            h.clock.advance(1s);
        ASSERT_EQ(h.ends, 0) << h.description.toStdString();
    }
    for (int step = 0; step < 7 && h.ends == 0; ++step) {
        const qint64 before = h.stored.size();
        ASSERT_TRUE(waitUntil([&] { return h.stored.size() > before; }));
        h.clock.advance(10s);
    }
    EXPECT_EQ(h.ends, 1);
    EXPECT_EQ(h.number, download::kTooSlow);
    EXPECT_EQ(h.description, QStringLiteral("Téléchargement trop lent : le serveur de mise à jour a envoyé moins de 1024 "
                                            "octets par seconde en moyenne pendant 60 s."));
}

} // namespace
} // namespace kestrel::test
