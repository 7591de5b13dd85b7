// The download control against the local HTTPS server: bodies, progress, failures and time limits.

#include "NetGrab.h"
#include "TestHttpsServer.h"
#include "TestKit.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

struct GrabEvent {
    enum Kind { Progress, Complete, Failed } kind;
    float progress = 0.0F;
    qint32 number = 0;
    QString description;
};

// A control trusting the local server's CA, and the events it raised.
struct GrabHarness {
    explicit GrabHarness(HttpSettings base = {}, TestHttpsServer::Certificate certificate = {})
        : settings(std::move(base)), server(certificate)
    {
        settings.trustedCa = TestHttpsServer::caCertificates();
        grab = std::make_unique<NetGrab>(network, settings);
        QObject::connect(grab.get(), &NetGrab::DownloadProgress, grab.get(),
                         [this](float p) { events.push_back({GrabEvent::Progress, p, 0, {}}); });
        QObject::connect(grab.get(), &NetGrab::DownloadComplete, grab.get(),
                         [this](qint32 n) { events.push_back({GrabEvent::Complete, 0.0F, n, {}}); });
        QObject::connect(grab.get(), &NetGrab::DownloadFailed, grab.get(),
                         [this](qint32 n, const QString &d) { events.push_back({GrabEvent::Failed, 0.0F, n, d}); });
    }
    bool ended() const { return !events.empty() && events.back().kind != GrabEvent::Progress; }
    int count(GrabEvent::Kind kind) const
    {
        return static_cast<int>(std::count_if(events.begin(), events.end(), [kind](const GrabEvent &e) { return e.kind == kind; }));
    }
    std::vector<float> progressValues() const
    {
        std::vector<float> values;
        for (const GrabEvent &e : events)
            if (e.kind == GrabEvent::Progress)
                values.push_back(e.progress);
        return values;
    }

    HttpSettings settings;
    TestHttpsServer server;
    QNetworkAccessManager network;
    std::unique_ptr<NetGrab> grab;
    std::vector<GrabEvent> events;
};

// The floor under which a download is too slow: 1 KiB/s over 1 s here.
HttpSettings trickleFloor()
{
    HttpSettings settings;
    settings.trickleFloorBytesPerSecond = 1024;
    settings.trickleWindow = 1000ms;
    return settings;
}

ScriptedReply withRawLength(const QByteArray &length)
{
    ScriptedReply reply = ScriptedReply::paced({patternBytes(250), patternBytes(750, 1)}, 150ms);
    reply.declareLength = false;
    if (!length.isNull())
        reply.headers.append({"Content-Length", length});
    return reply;
}

QList<QByteArray> piecesOf(int count, qsizetype bytes)
{
    QList<QByteArray> pieces;
    for (int i = 0; i < count; ++i)
        pieces.append(patternBytes(bytes, static_cast<char>(i)));
    return pieces;
}

struct Delivery {
    const char *name;
    ScriptedReply reply;
    bool whole;                 // false: Qt may refuse the reply
    std::vector<float> progress; // empty: not compared
};

void PrintTo(const Delivery &d, std::ostream *out) { *out << d.name; }

class Deliveries : public ::testing::TestWithParam<Delivery> {};

// Progress stays within 0..100 whatever the declared length; a whole body ends with 100, then
// Complete with its size, and Bytes() holds it exactly.
TEST_P(Deliveries, ProgressThenCompleteWithTheExactBody)
{
    GrabHarness h(trickleFloor());
    h.server.setReply("/p", GetParam().reply);
    h.grab->DownloadStart(h.server.baseUrl() + "p");
    ASSERT_TRUE(waitUntil([&h] { return h.ended(); }));
    settle(100ms);
    for (float value : h.progressValues())
        EXPECT_TRUE(value >= 0.0F && value <= 100.0F) << value;
    EXPECT_EQ(h.count(GrabEvent::Complete) + h.count(GrabEvent::Failed), 1);
    if (GetParam().whole) {
        const QByteArray body = GetParam().reply.pieces.join();
        if (!GetParam().progress.empty()) {
            EXPECT_EQ(h.progressValues(), GetParam().progress);
        }
        ASSERT_EQ(h.events.back().kind, GrabEvent::Complete);
        EXPECT_EQ(h.events.back().number, body.size());
        EXPECT_EQ(h.grab->Bytes(), body);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Deliveries,
    ::testing::Values(
        Delivery{"DeclaredLength", ScriptedReply::paced({patternBytes(250), patternBytes(750, 1)}, 150ms),
                 true, {25, 100, 100}},
        Delivery{"ChunkedInPieces", ScriptedReply::paced(piecesOf(3, 700), 30ms, true), true, {100}},
        Delivery{"NoLengthEndsAtClose", withRawLength({}), true, {100}},
        Delivery{"EmptyBody", ScriptedReply::paced({}, 0ms), true, {100}},
        Delivery{"SteadyAboveTheSpeedFloor", ScriptedReply::paced(piecesOf(40, 4096), 25ms), true, {}},
        Delivery{"NonNumericLength", withRawLength("abc"), false, {}},
        Delivery{"NegativeLength", withRawLength("-5"), false, {}},
        Delivery{"LengthBeyond32Bits", withRawLength("99999999999"), false, {}}),
    [](const auto &info) { return std::string(info.param.name); });

struct Failure {
    const char *name;
    qint32 number;
    ScriptedReply reply;
    QString description = {}; // a part of it; empty: any
    QString url = {};         // instead of the server's; %1 stands for a closed port
    TestHttpsServer::Certificate certificate = TestHttpsServer::Certificate::SignedByTestCa;
};

void PrintTo(const Failure &f, std::ostream *out) { *out << f.name; }

ScriptedReply changed(ScriptedReply reply, const std::function<void(ScriptedReply &)> &change)
{
    change(reply);
    return reply;
}

class Failures : public ::testing::TestWithParam<Failure> {};

// Each ends in one failure within the time limits, with its number and description, and no body;
// a refused address is told before DownloadStart returns.
TEST_P(Failures, CarryTheirNumberAndDescription)
{
    const Failure &row = GetParam();
    HttpSettings quick = trickleFloor();
    quick.inactivityTimeout = 400ms;
    quick.maxBodyBytes = 1000;
    GrabHarness h(quick, row.certificate);
    h.server.setReply("/p", row.reply);
    h.grab->DownloadStart(row.url.isNull() ? h.server.baseUrl() + "p" : row.url.arg(closedPort()));
    if (row.number == NetGrab::kUrlRefused) {
        ASSERT_TRUE(h.ended());
    }
    ASSERT_TRUE(waitUntil([&h] { return h.ended(); }));
    settle(100ms);
    ASSERT_EQ(h.count(GrabEvent::Failed), 1);
    EXPECT_EQ(h.count(GrabEvent::Complete), 0);
    EXPECT_EQ(h.events.back().number, row.number);
    EXPECT_FALSE(h.events.back().description.isEmpty());
    EXPECT_TRUE(h.events.back().description.contains(row.description)) << h.events.back().description.toStdString();
    EXPECT_TRUE(h.grab->Bytes().isEmpty());
}

const ScriptedReply kSmall = ScriptedReply::text(200, "OK", patternBytes(900), "application/zip");
const QString kRefused = QStringLiteral("Adresse de téléchargement non prise en charge");

INSTANTIATE_TEST_SUITE_P(
    Downloads, Failures,
    ::testing::Values(
        // A server offering HTTP/2 too: the phrase comes only on an HTTP/1.1 status line.
        Failure{"Status404WithUtf8Phrase", 404, ScriptedReply::text(404, "Non trouv\xC3\xA9", "<html>erreur</html>", "text/html"),
                QStringLiteral("Non trouvé")},
        Failure{"Status204", 204, ScriptedReply::text(204, "No Content", ""), "No Content"},
        Failure{"ConnectionRefused", QNetworkReply::ConnectionRefusedError, kSmall, {}, "https://127.0.0.1:%1/p"},
        Failure{"DroppedMidBody", QNetworkReply::RemoteHostClosedError,
                changed(kSmall, [](ScriptedReply &r) { r.dropAfterBodyBytes = 700; })},
        Failure{"ServerNeverAnswers", QNetworkReply::TimeoutError,
                changed(kSmall, [](ScriptedReply &r) { r.headerDelay = 1h; }), QStringLiteral("Délai d'attente")},
        Failure{"ServerStallsMidBody", QNetworkReply::TimeoutError,
                ScriptedReply::paced({patternBytes(300), patternBytes(300)}, 120s)},
        Failure{"CertificateFromAnotherAuthority", QNetworkReply::SslHandshakeFailedError, kSmall, {}, {},
                TestHttpsServer::Certificate::SignedByOtherCa},
        Failure{"DeclaredBodyBeyondTheLimit", NetGrab::kBodyTooLarge, ScriptedReply::paced({patternBytes(5000)}, 0ms),
                QStringLiteral("taille maximale acceptée (1000 octets)")},
        // Too long before its second piece, which would come only after every wait here.
        Failure{"ChunkedBodyBeyondTheLimit", NetGrab::kBodyTooLarge,
                ScriptedReply::paced({patternBytes(1500), patternBytes(1500)}, 120s, true), QStringLiteral("taille maximale")},
        // The inactivity limit never trips, as data keeps coming.
        Failure{"SustainedTrickle", NetGrab::kTooSlow, ScriptedReply::paced(piecesOf(40, 10), 50ms),
                QStringLiteral("Téléchargement trop lent : le serveur de mise à jour a envoyé moins de 1024 octets "
                               "par seconde en moyenne pendant 1 s.")},
        Failure{"EmptyAddress", NetGrab::kUrlRefused, kSmall, kRefused, QStringLiteral("")},
        Failure{"NoScheme", NetGrab::kUrlRefused, kSmall, kRefused, "127.0.0.1/p"},
        Failure{"FtpScheme", NetGrab::kUrlRefused, kSmall, kRefused, "ftp://127.0.0.1/p"},
        Failure{"FileScheme", NetGrab::kUrlRefused, kSmall, kRefused, "file:///etc/hostname"},
        Failure{"NoHost", NetGrab::kUrlRefused, kSmall, kRefused, "https://"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(NetGrab, SecondStartReplacesTheRunningDownloadAndResetsTheCounters)
{
    GrabHarness h;
    h.server.setReply("/slow", ScriptedReply::paced(piecesOf(20, 100), 100ms));
    const ScriptedReply fast = ScriptedReply::paced({patternBytes(250, 9), patternBytes(750, 10)}, 150ms);
    h.server.setReply("/fast", fast);

    h.grab->DownloadStart(h.server.baseUrl() + "slow");
    ASSERT_TRUE(waitUntil([&h] { return !h.events.empty(); }));
    h.events.clear();
    h.grab->DownloadStart(h.server.baseUrl() + "fast");
    ASSERT_TRUE(waitUntil([&h] { return h.ended(); }));
    settle(800ms); // the slow reply would have sent more pieces meanwhile

    EXPECT_EQ(h.progressValues(), (std::vector<float>{25, 100, 100}));
    ASSERT_EQ(h.events.size(), 4u);
    EXPECT_EQ(h.events.back().number, 1000);
    EXPECT_EQ(h.grab->Bytes(), fast.pieces.join());
}

TEST(NetGrab, ReceiverProcessingEventsInsideProgressCountsEveryChunkOnce)
{
    GrabHarness h;
    const ScriptedReply reply = ScriptedReply::paced(piecesOf(40, 1000), 5ms);
    h.server.setReply("/p", reply);
    int depth = 0;
    int deepest = 0;
    QObject::connect(h.grab.get(), &NetGrab::DownloadProgress, h.grab.get(), [&](float) {
        deepest = std::max(deepest, ++depth);
        QThread::msleep(15); // lets further data and notifications queue up
        QCoreApplication::processEvents();
        --depth;
    });
    h.grab->DownloadStart(h.server.baseUrl() + "p");
    ASSERT_TRUE(waitUntil([&h] { return h.ended(); }));

    ASSERT_EQ(h.events.back().kind, GrabEvent::Complete);
    EXPECT_EQ(h.grab->Bytes(), reply.pieces.join());
    const std::vector<float> values = h.progressValues();
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 100.0F);
    EXPECT_LE(deepest, 2); // a chunk's event, and at most the finish nested inside it
}

} // namespace
} // namespace kestrel::test
