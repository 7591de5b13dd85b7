// Closing the real window while the version is asked for or the package arrives: the program ends
// and nothing runs after.

#include "support/FakeStepHost.h"
#include "support/TestKit.h"
#include "support/https/TestHttpsServer.h"
#include "wizard/FrmUpdate.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace kestrel::test {
namespace {

// The real window and download step; the first step is taken as passed and the installation is only counted.
class DownloadingWizard : public wizard::FrmUpdate {
public:
    using wizard::FrmUpdate::FrmUpdate;
    int installs = 0;

protected:
    bool CheckPrerequisites() override
    {
        context().packageFileName = QStringLiteral("maj_kestrel11_2.0.0.zip");
        return true;
    }
    bool StartInstall() override { return ++installs > 0; }
};

// Once before the reply, once after the first chunk of a body that keeps coming.
TEST(WindowClosed, DuringTheDownloadEndsTheProgramAndLeavesNoPackage)
{
    for (const bool afterFirstChunk : {false, true}) {
        SCOPED_TRACE(afterFirstChunk ? "after the first chunk" : "before the reply");
        QTemporaryDir dir;
        TestHttpsServer server;
        QNetworkAccessManager network;
        ScriptedBoxes boxes;
        RecordingProgramEnd end;
        wizard::WizardServices services;
        services.messageBoxes = &boxes;
        services.programEnd = &end;
        services.updateService = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"),
                                  {.trustedCa = TestHttpsServer::caCertificates()}, {}};
        services.programFolder = dir.path();
        server.setReply("/vb6/v1/softwares/kestrel11/download",
                        {.pieces = QList<QByteArray>(20, patternBytes(1000)), .headerDelay = afterFirstChunk ? 0ms : 300ms, .pieceDelay = 30ms});
        DownloadingWizard window(services);
        window.show();

        auto *bar = window.findChild<QProgressBar *>(QStringLiteral("PBarUpdate"));
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, &window, [&] {
            if (!afterFirstChunk || bar->value() > 0) {
                closer.stop();
                window.close();
            }
        });
        closer.start(5);
        window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"))->click();
        ASSERT_TRUE(waitUntil([&] { return end.ended > 0; }));
        settle(1s); // the server would have sent the whole body meanwhile

        EXPECT_EQ(end.ended, 1);
        EXPECT_EQ(window.installs, 0);
        EXPECT_TRUE(boxes.shown.empty());
        EXPECT_EQ(window.context().currentStep, 2);
        EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("updates"))).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    }
}

// The real step 1 waits for a record that does not come: closed then, the program ends at once,
// before a box, a file or the download (in the real program nothing runs after the end).
TEST(WindowClosed, DuringTheVersionQueryEndsTheProgramThere)
{
    QTemporaryDir dir;
    QFile exe(dir.filePath(QStringLiteral("kestrel11.exe")));
    ASSERT_TRUE(exe.open(QIODevice::WriteOnly));
    TestHttpsServer server;
    server.setReply("/vb6/v1/softwares/kestrel11", {.pieces = {R"({"version":"11.0.27"})"}, .headerDelay = 1h});
    QNetworkAccessManager network;
    ManualClock clock;
    ScriptedBoxes boxes;
    struct AtTheEnd final : platform::ProgramEnd {
        void endProgram() override { seen.push_back(onEnd()); }
        std::function<std::string()> onEnd;
        std::vector<std::string> seen;
    } end;
    wizard::WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &end;
    services.updateService = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"),
                              {.trustedCa = TestHttpsServer::caCertificates(), .clock = &clock}, {}};
    services.programFolder = dir.path();
    wizard::FrmUpdate window(services);
    end.onEnd = [&] {
        return "step " + std::to_string(window.context().currentStep) + ", " + std::to_string(boxes.shown.size()) + " box(es), "
            + std::to_string(server.requestCount()) + " request(s), updates folder "
            + (QFileInfo::exists(dir.filePath(QStringLiteral("updates"))) ? "made" : "absent");
    };
    window.show();
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &window, [&] {
        if (server.requestCount() == 1 && window.isVisible()) {
            window.close();
            clock.advance(1h); // the query ends; what follows the end does not run in the real program
        }
    });
    closer.start(5);
    window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"))->click();
    ASSERT_FALSE(end.seen.empty());
    EXPECT_EQ(end.seen.front(), "step 1, 0 box(es), 1 request(s), updates folder absent");
}

} // namespace
} // namespace kestrel::test
