#include "DownloadKit.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

struct Pace {
    const char *name;
    qsizetype pieceBytes;
    std::chrono::milliseconds interval;
    bool refused;
};

void PrintTo(const Pace &p, std::ostream *out) { *out << p.name; }

class TrickleBound : public ::testing::TestWithParam<Pace> {};

// The floor is 1 KiB/s over 1 s here; the inactivity limit never trips, as data keeps coming.
TEST_P(TrickleBound, FailsOnlyASustainedSlowDownload)
{
    HttpSettings settings;
    settings.trickleFloorBytesPerSecond = 1024;
    settings.trickleWindow = 1000ms;
    GrabHarness h(settings);
    const QByteArray body = patternBytes(40 * GetParam().pieceBytes);
    h.server.setReply("/p", ScriptedReply::trickle(body, GetParam().pieceBytes, GetParam().interval));
    h.fetch("p");
    ASSERT_TRUE(h.ended());
    if (GetParam().refused) {
        ASSERT_NE(h.lastFailure(), nullptr);
        EXPECT_EQ(h.lastFailure()->number, NetGrab::kTooSlow);
        EXPECT_EQ(h.lastFailure()->description,
                  QStringLiteral("Téléchargement trop lent : le serveur de mise à jour a envoyé moins de 1024 "
                                 "octets par seconde en moyenne pendant 1 s."));
        EXPECT_TRUE(h.grab->Bytes().isEmpty());
    } else {
        EXPECT_EQ(h.lastFailure(), nullptr);
        EXPECT_EQ(h.grab->Bytes(), body);
    }
}

INSTANTIATE_TEST_SUITE_P(Paces, TrickleBound,
                         ::testing::Values(Pace{"TenBytesEvery50ms", 10, 50ms, true},
                                           Pace{"FourKiBEvery25ms", 4096, 25ms, false}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
