// Closing the real window while the version is asked for or the package arrives: the program ends and nothing runs after.

#include "support/FakeStepHost.h"
#include "support/https/TestHttpsServer.h"
#include "support/zip/ZipBuilder.h"
#include "wizard/FrmUpdate.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

// The real download step; the first step is taken as passed and the installation is only counted.
class DownloadingWizard : public wizard::FrmUpdate {
public:
    using wizard::FrmUpdate::FrmUpdate;
    int installs = 0;

protected:
    bool CheckPrerequisites() override { return context().packageFileName = QStringLiteral("maj_kestrel11_2.0.0.zip"), true; }
    bool StartInstall() override { return ++installs > 0; }
};

// A real window over the local server, closed from the event loop once closeNow() holds; seen: what the program end saw.
struct CloseHarness {
    void run(wizard::FrmUpdate &window, const std::function<bool()> &closeNow)
    {
        window.show();
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, &window, [&] {
            if (window.isVisible() && closeNow())
                window.close(), closer.stop(), clock.advance(advanceAfterClose);
        });
        closer.start(5);
        window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"))->click();
        ASSERT_TRUE(waitUntil([&] { return !end.seen.empty(); }));
        settle(1s); // the server would have sent the whole body meanwhile
    }
    wizard::WizardServices services()
    {
        return {&boxes, &end, nullptr, {&network, server.baseUrl() + "vb6/v1/softwares/", {.trustedCa = TestHttpsServer::caCertificates(), .clock = &clock}, {}},
                dir.path()};
    }
    std::string state(int step) const
    {
        return "step " + std::to_string(step) + ", " + std::to_string(boxes.shown.size()) + " box(es), updates folder "
            + (!QFileInfo::exists(dir.filePath("updates")) ? "absent" : QDir(dir.filePath("updates")).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot) ? "empty" : "not empty");
    }

    QTemporaryDir dir;
    TestHttpsServer server;
    QNetworkAccessManager network;
    ManualClock clock;
    std::chrono::milliseconds advanceAfterClose{0};
    ScriptedBoxes boxes;
    struct AtTheEnd final : platform::ProgramEnd {
        void endProgram() override { seen.push_back(onEnd()); }
        std::function<std::string()> onEnd = [] { return std::string("ended"); };
        std::vector<std::string> seen;
    } end;
};

// Once before the reply, once after the first chunk of a body that keeps coming.
TEST(WindowClosed, DuringTheDownloadEndsTheProgramAndLeavesNoPackage)
{
    for (const bool afterFirstChunk : {false, true}) {
        CloseHarness h;
        h.server.setReply("/vb6/v1/softwares/kestrel11/download", {.pieces = QList<QByteArray>(20, patternBytes(1000)),
                                                                    .headerDelay = afterFirstChunk ? 0ms : 300ms, .pieceDelay = 30ms});
        DownloadingWizard window(h.services());
        auto *bar = window.findChild<QProgressBar *>(QStringLiteral("PBarUpdate"));
        h.run(window, [&] { return !afterFirstChunk || bar->value() > 0; });
        EXPECT_EQ(h.end.seen.size(), 1U);
        EXPECT_EQ(h.state(window.context().currentStep), "step 2, 0 box(es), updates folder empty") << afterFirstChunk;
        EXPECT_EQ(window.installs, 0);
    }
}

// Closed while the real step 1 waits for a record that does not come: the program ends there, before a box, a file or the download.
TEST(WindowClosed, DuringTheVersionQueryEndsTheProgramThere)
{
    CloseHarness h;
    zip::writeFile(h.dir.filePath(QStringLiteral("kestrel11.exe")).toStdString(), "MZ");
    h.server.setReply("/vb6/v1/softwares/kestrel11", {.pieces = {R"({"version":"11.0.27"})"}, .headerDelay = 1h});
    wizard::FrmUpdate window(h.services());
    h.advanceAfterClose = 1h; // the query ends: what follows the end does not run in the real program
    h.end.onEnd = [&] { return h.state(window.context().currentStep) + ", " + std::to_string(h.server.requestCount()) + " request(s)"; };
    h.run(window, [&] { return h.server.requestCount() == 1; });
    EXPECT_EQ(h.end.seen.front(), "step 1, 0 box(es), updates folder absent, 1 request(s)");
}

} // namespace
} // namespace kestrel::test
