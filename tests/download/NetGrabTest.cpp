// The download control against the local HTTPS server: bodies, progress, failures, and time limits
// on a clock the test moves.

#include "download/DownloadFailures.h"
#include "download/NetGrab.h"
#include "support/TestKit.h"
#include "support/https/TestHttpsServer.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QThread>

#include <gtest/gtest.h>

#include <limits>
#include <memory>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

// A control trusting the local server's CA, and what it told.
struct GrabHarness {
    explicit GrabHarness(platform::HttpSettings settings = {}, TestHttpsServer::Certificate certificate = {}) : server(certificate)
    {
        settings.trustedCa = TestHttpsServer::caCertificates();
        settings.clock = &clock;
        grab = std::make_unique<download::NetGrab>(network, settings);
        grab->setChunkReceiver([this](qint64, const char *data, qint64 size) {
            stored.append(data, size);
            return QString();
        });
        grab->setBodyReader([this] { return stored; });
        QObject::connect(grab.get(), &download::NetGrab::DownloadProgress, grab.get(), [this](float p) { progress.push_back(p); });
        QObject::connect(grab.get(), &download::NetGrab::DownloadComplete, grab.get(), [this](qint32 n) { end(n, {}, true); });
        QObject::connect(grab.get(), &download::NetGrab::DownloadFailed, grab.get(),
                         [this](qint32 n, const QString &d) { end(n, d, false); });
    }
    void end(qint32 n, const QString &d, bool complete)
    {
        ++ends;
        number = n;
        description = d;
        completed = complete;
        progressBeforeEnd = progress.size();
    }
    // Waits for the end, then a while for anything that should not follow it.
    bool waitForEnd()
    {
        const bool ended = waitUntil([this] { return ends > 0; });
        settle(100ms);
        return ended;
    }

    ManualClock clock; // stands still unless a test moves it: no limit trips by itself
    TestHttpsServer server;
    QNetworkAccessManager network;
    std::unique_ptr<download::NetGrab> grab;
    QByteArray stored; // what the control handed over, which it reads back for Bytes()
    std::vector<float> progress;
    std::size_t progressBeforeEnd = 0;
    int ends = 0;
    bool completed = false;
    qint32 number = 0;
    QString description;
};

ScriptedReply withRawLength(const QByteArray &length)
{
    ScriptedReply reply{.pieces = {patternBytes(250), patternBytes(750, 1)}, .declareLength = false, .pieceDelay = 150ms};
    if (!length.isNull())
        reply.headers = {{"Content-Length", length}};
    return reply;
}

QList<QByteArray> piecesOf(int count, qsizetype bytes)
{
    QList<QByteArray> pieces;
    for (int i = 0; i < count; ++i)
        pieces.append(patternBytes(bytes, static_cast<char>(i)));
    return pieces;
}

// Outcomes that are no failure number.
constexpr qint32 kWhole = std::numeric_limits<qint32>::min(); // completes with the whole body
constexpr qint32 kEither = kWhole + 1; // Qt may refuse the reply: only the progress range is checked

struct Download {
    const char *name;
    ScriptedReply reply;
    qint32 outcome;               // kWhole, kEither, or the number of the failure
    QString description = {};     // a part of the failure's description
    std::vector<float> progress = {}; // of a whole body; empty: not compared
    QString url = {};             // instead of the server's; %1 stands for a closed port
    TestHttpsServer::Certificate certificate = TestHttpsServer::Certificate::SignedByTestCa;
};

void PrintTo(const Download &d, std::ostream *out) { *out << d.name; }

class Downloads : public ::testing::TestWithParam<Download> {};

// Progress stays within 0..100 whatever the reply declares. A whole body ends with progress
// 100, then Complete with its size, and Bytes() holds it exactly. Anything else
// ends in one failure, with its number and description, and no body; a refused address is told
// before DownloadStart returns. Nothing follows the end.
TEST_P(Downloads, EndOnceWithTheBodyOrAToldFailure)
{
    const Download &row = GetParam();
    platform::HttpSettings settings;
    settings.maxBodyBytes = 4 << 20;
    GrabHarness h(settings, row.certificate);
    h.server.setReply("/p", row.reply);
    h.grab->DownloadStart(row.url.isNull() ? h.server.baseUrl() + "p" : row.url.arg(closedPort()));
    EXPECT_TRUE(row.outcome != download::kUrlRefused || h.ends == 1) << "told before DownloadStart returns";
    ASSERT_TRUE(h.waitForEnd());
    EXPECT_EQ(h.ends, 1);
    EXPECT_EQ(h.progress.size(), h.progressBeforeEnd);
    for (float value : h.progress)
        EXPECT_TRUE(value >= 0.0F && value <= 100.0F) << value;
    const QByteArray body = row.reply.pieces.join();
    if (row.outcome == kWhole) {
        EXPECT_TRUE(h.completed);
        EXPECT_EQ(h.number, body.size());
        EXPECT_EQ(h.grab->Bytes(), body);
        ASSERT_FALSE(h.progress.empty());
        EXPECT_EQ(h.progress.back(), 100.0F);
        if (!row.progress.empty()) {
            EXPECT_EQ(h.progress, row.progress);
        }
    } else if (row.outcome != kEither) {
        EXPECT_FALSE(h.completed);
        EXPECT_EQ(h.number, row.outcome);
        EXPECT_FALSE(h.description.isEmpty());
        EXPECT_TRUE(h.description.contains(row.description)) << h.description.toStdString();
        EXPECT_TRUE(h.grab->Bytes().isEmpty());
    }
}

const ScriptedReply kSmall{.pieces = {patternBytes(900)}};
const QString kRefused = QStringLiteral("Adresse de téléchargement non prise en charge");

INSTANTIATE_TEST_SUITE_P(
    Replies, Downloads,
    ::testing::Values(
        Download{"DeclaredLength", ScriptedReply{.pieces = {patternBytes(250), patternBytes(750, 1)}, .pieceDelay = 150ms}, kWhole, {},
                 {25, 100, 100}},
        Download{"NoLengthEndsAtClose", withRawLength({}), kWhole, {}, {100}},
        Download{"EmptyBody", ScriptedReply{}, kWhole, {}, {100}},
        // Read in batches of 1 MiB at most.
        Download{"ManyBatches", ScriptedReply{.pieces = piecesOf(7, 512 * 1024)}, kWhole},
        Download{"NonNumericLength", withRawLength("abc"), kEither},
        Download{"NegativeLength", withRawLength("-5"), kEither},
        Download{"LengthBeyond32Bits", withRawLength("99999999999"), kEither},
        // A server offering HTTP/2 too: the phrase comes only on an HTTP/1.1 status line.
        Download{"Status404WithUtf8Phrase", ScriptedReply{.status = 404, .reason = "Non trouv\xC3\xA9", .pieces = {"<html>erreur</html>"}},
                 404, QStringLiteral("Non trouvé")},
        Download{"Status204", ScriptedReply{.status = 204, .reason = "No Content"}, 204, "No Content"},
        // Qt's own description, in French as every text the user reads.
        Download{"ConnectionRefused", kSmall, QNetworkReply::ConnectionRefusedError, QStringLiteral("Connexion refusée"), {},
                 "https://127.0.0.1:%1/p"},
        Download{"DroppedMidBody", ScriptedReply{.pieces = {patternBytes(900)}, .dropAfterBodyBytes = 700},
                 QNetworkReply::RemoteHostClosedError},
        Download{"CertificateFromAnotherAuthority", kSmall, QNetworkReply::SslHandshakeFailedError, {}, {}, {},
                 TestHttpsServer::Certificate::SignedByOtherCa},
        Download{"DeclaredBodyBeyondTheLimit", ScriptedReply{.pieces = {patternBytes((4 << 20) + 1)}}, download::kBodyTooLarge,
                 QStringLiteral("taille maximale acceptée (4194304 octets)")},
        // Too long before its second piece, which would come only after every wait here.
        Download{"UndeclaredBodyBeyondTheLimit",
                 ScriptedReply{.pieces = {patternBytes((4 << 20) + 1), patternBytes(10)}, .declareLength = false, .pieceDelay = 1h},
                 download::kBodyTooLarge, QStringLiteral("taille maximale")},
        Download{"EmptyAddress", kSmall, download::kUrlRefused, kRefused, {}, QStringLiteral("")},
        Download{"NoScheme", kSmall, download::kUrlRefused, kRefused, {}, "127.0.0.1/p"},
        Download{"FtpScheme", kSmall, download::kUrlRefused, kRefused, {}, "ftp://127.0.0.1/p"},
        Download{"FileScheme", kSmall, download::kUrlRefused, kRefused, {}, "file:///etc/hostname"},
        Download{"NoHost", kSmall, download::kUrlRefused, kRefused, {}, "https://"}),
    [](const auto &info) { return std::string(info.param.name); });

// Silent before the reply or in the middle of the body: the inactivity limit (30 s) ends it, not earlier.
TEST(NetGrab, NothingReceivedForTheInactivityLimitEndsTheDownload)
{
    const struct {
        ScriptedReply reply;
        qint64 receivedFirst;
    } rows[] = {{{.pieces = {patternBytes(900)}, .headerDelay = 1h}, 0},
                {{.pieces = {patternBytes(300), patternBytes(300)}, .pieceDelay = 1h}, 300}};
    for (const auto &row : rows) {
        GrabHarness h;
        h.server.setReply("/p", row.reply);
        h.grab->DownloadStart(h.server.baseUrl() + "p");
        ASSERT_TRUE(waitUntil([&] { return h.server.requestCount() == 1 && h.stored.size() == row.receivedFirst; }));
        h.clock.advance(29999ms);
        EXPECT_EQ(h.ends, 0);
        h.clock.advance(1ms);
        EXPECT_EQ(h.ends, 1);
        EXPECT_EQ(h.number, QNetworkReply::TimeoutError);
        EXPECT_TRUE(h.description.startsWith(QStringLiteral("Délai d'attente dépassé"))) << h.description.toStdString();
    }
}

// 8 KiB a second for 80 s is never too slow, whatever the batches. Then a byte every 10 s: the
// average of the last minute (1024 bytes a second at least) ends it within 70 s, while the
// average since the start is still well above it and the inactivity limit never trips.
TEST(NetGrab, ADownloadThatTricklesAfterAFastStartIsEnded)
{
    GrabHarness h;
    h.server.setReply("/p", {.pieces = piecesOf(80, 8192) + QList<QByteArray>(2000, "x"), .pieceDelay = 20ms});
    h.grab->DownloadStart(h.server.baseUrl() + "p");
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

TEST(NetGrab, ReceiverProcessingEventsInsideProgressCountsEveryChunkOnce)
{
    GrabHarness h;
    const ScriptedReply reply{.pieces = piecesOf(40, 1000), .pieceDelay = 5ms};
    h.server.setReply("/p", reply);
    int depth = 0;
    int deepest = 0;
    QObject::connect(h.grab.get(), &download::NetGrab::DownloadProgress, h.grab.get(), [&](float) {
        deepest = std::max(deepest, ++depth);
        QThread::msleep(15); // lets further data and notifications queue up
        QCoreApplication::processEvents();
        --depth;
    });
    h.grab->DownloadStart(h.server.baseUrl() + "p");
    ASSERT_TRUE(h.waitForEnd());

    EXPECT_TRUE(h.completed);
    EXPECT_EQ(h.grab->Bytes(), reply.pieces.join());
    EXPECT_TRUE(std::is_sorted(h.progress.begin(), h.progress.end()));
    EXPECT_EQ(h.progress.back(), 100.0F);
    EXPECT_LE(deepest, 2); // a chunk's event, and at most the finish nested inside it
}

} // namespace
} // namespace kestrel::test
