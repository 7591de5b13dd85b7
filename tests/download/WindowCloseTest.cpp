// Closing the real window while the package arrives: the program ends and nothing runs after.

#include "support/FakeStepHost.h"
#include "support/TestKit.h"
#include "support/https/TestHttpsServer.h"
#include "wizard/FrmUpdate.h"

#include <QDir>
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

} // namespace
} // namespace kestrel::test
