// The real window over a real application folder: the second wizard, the recovery at start-up
// and a close during the installation, each seen as the user sees it.

#include "install/InstallFixture.h"
#include "os/FolderLock.h"
#include "support/FakeStepHost.h"
#include "wizard/FrmUpdate.h"

#include <QPushButton>

#include <spawn.h>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

// Steps 1 and 2 stand aside: the package is already in the updates folder.
class LocalWizard : public wizard::FrmUpdate {
public:
    using wizard::FrmUpdate::FrmUpdate;

protected:
    bool CheckPrerequisites() override { return true; }
    bool StartDownload() override
    {
        context().packagePath = context().updatesFolder + QStringLiteral("maj_kestrel11_11.2.zip");
        return true;
    }
    bool StartInstall() override
    {
        if (closeDuringInstall)
            closeAccepted = close();
        return wizard::FrmUpdate::StartInstall();
    }

public:
    bool closeDuringInstall = false;
    bool closeAccepted = false;
};

class SafeStartTest : public InstallFixture {
protected:
    std::unique_ptr<LocalWizard> openWizard()
    {
        m_host.boxes.shown.clear();
        wizard::WizardServices services;
        services.messageBoxes = &m_host.boxes;
        services.programEnd = &m_host.end;
        services.eventPump = &m_host.pump;
        services.programFolder = qtPath(m_app);
        return std::make_unique<LocalWizard>(services);
    }
    void click(wizard::FrmUpdate &window) { window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"))->click(); }
    void expectBox(const char *part, platform::BoxIcon icon)
    {
        ASSERT_EQ(m_host.boxes.shown.size(), 1U);
        EXPECT_TRUE(m_host.boxes.shown[0].text.contains(QString::fromUtf8(part))) << m_host.boxes.shown[0].text.toStdString();
        EXPECT_EQ(m_host.boxes.shown[0].icon, icon);
    }
};

TEST_F(SafeStartTest, SecondWizardForTheSameFolderIsToldAndEndsWithoutTouchingIt)
{
    writePackage({{"kestrel11.exe", "nouvelle version"}});
    const zip::Tree before = zip::snapshot(m_parent);
    auto first = openWizard();

    auto second = openWizard();

    expectBox("Une mise à jour de Kestrel 11 est déjà ouverte", platform::BoxIcon::Critical);
    EXPECT_EQ(m_host.end.ended, 1);
    EXPECT_EQ(zip::snapshot(m_parent), before);
    second.reset();
    first.reset();
    auto third = openWizard();
    EXPECT_TRUE(m_host.boxes.shown.empty());
    EXPECT_EQ(m_host.end.ended, 1);
}

TEST_F(SafeStartTest, SwitchOverKilledMidwayIsUndoneAtTheNextStartAndTheUpdateThenInstalls)
{
    writeAppFile("lib/a.dll", "ancien a");
    writeAppFile("lib/b.dll", "ancien b");
    writePackage({{"kestrel11.exe", "nouvelle version"}, {"lib/a.dll", "nouveau a"}, {"lib/b.dll", "nouveau b"}});
    const zip::Tree before = zip::snapshot(m_parent);
    const std::string package = m_package.string(), target = m_app.string();
    char *argv[] = {const_cast<char *>(KESTREL_CRASH_CHILD), const_cast<char *>(package.c_str()), const_cast<char *>(target.c_str()),
                    const_cast<char *>("4"), nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, KESTREL_CRASH_CHILD, nullptr, nullptr, argv, environ), 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    ASSERT_NE(zip::snapshot(m_parent), before);

    auto window = openWizard();

    expectBox("Les fichiers d'origine ont été remis en place", platform::BoxIcon::Information);
    EXPECT_EQ(zip::snapshot(m_parent), before);
    m_host.boxes.shown.clear();
    click(*window);
    expectBox("Mise à jour terminée avec succès", platform::BoxIcon::Information);
    EXPECT_EQ(fileText(m_app / "lib/b.dll"), "nouveau b");
}

TEST_F(SafeStartTest, ClosingTheWindowDuringTheInstallationWaitsForItToEnd)
{
    writePackage({{"kestrel11.exe", "nouvelle version"}});
    auto window = openWizard();
    window->show();
    window->closeDuringInstall = true;

    click(*window);

    EXPECT_FALSE(window->closeAccepted);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(m_host.end.ended, 0);
    expectBox("Mise à jour terminée avec succès", platform::BoxIcon::Information);
    EXPECT_EQ(fileText(m_app / "kestrel11.exe"), "nouvelle version");
}

} // namespace
} // namespace kestrel::test
