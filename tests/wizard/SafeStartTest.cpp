// The real window over a real application folder: second wizard, recovery at start-up, unlockable folder, close while installing.

#include "install/InstallFixture.h"
#include "install/SwitchOver.h"
#include "wizard/FrmUpdate.h"

#include <QPushButton>

namespace kestrel::test {
namespace {

// Steps 1 and 2 stand aside: the package is already in the updates folder.
class LocalWizard : public wizard::FrmUpdate {
public:
    using wizard::FrmUpdate::FrmUpdate;
    bool closeDuringInstall = false, closeAccepted = false;
    void click() { findChild<QPushButton *>(QStringLiteral("CmdUpdate"))->click(); }

protected:
    bool CheckPrerequisites() override { return true; }
    bool StartDownload() override { return context().packagePath = context().updatesFolder + QStringLiteral("maj_kestrel11_11.2.zip"), true; }
    bool StartInstall() override
    {
        if (closeDuringInstall)
            closeAccepted = close();
        return wizard::FrmUpdate::StartInstall();
    }
};

class SafeStartTest : public InstallFixture {
protected:
    std::unique_ptr<LocalWizard> openWizard()
    {
        m_host.boxes.shown.clear();
        return std::make_unique<LocalWizard>(wizard::WizardServices{&m_host.boxes, &m_host.end, &m_host.pump, {}, qtPath(m_app)});
    }
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
    runCrashChild(m_package.string(), m_app.string(), 4);
    ASSERT_NE(zip::snapshot(m_parent), before);

    auto window = openWizard();

    expectBox("Les fichiers d'origine ont été remis en place", platform::BoxIcon::Information);
    EXPECT_EQ(zip::snapshot(m_parent), before);
    m_host.boxes.shown.clear();
    window->click();
    expectBox("Mise à jour terminée avec succès", platform::BoxIcon::Information);
    EXPECT_EQ(fileText(m_app / "lib/b.dll"), "nouveau b");
}

// A staged file vanishes as the switch-over starts (a scanner's quarantine): the box says so, nothing changed, and a restart installs.
TEST_F(SafeStartTest, StagedFileThatDisappearsLeavesTheOldVersionAndARestartInstalls)
{
    writeAppFile("lib/a.dll", "ancien a");
    writePackage({{"kestrel11.exe", "nouvelle version"}, {"lib/a.dll", "nouveau a"}});
    const zip::Tree before = zip::snapshot(m_parent);
    static std::filesystem::path staged;
    staged = m_updates / "kestrel-staging/content/lib/a.dll";
    install::setSwitchPointHook([](std::size_t) { return std::filesystem::remove(staged), std::error_code(); });
    auto window = openWizard();
    window->click();
    install::setSwitchPointHook(nullptr);
    expectBox("Le nouveau fichier « lib/a.dll » a disparu", platform::BoxIcon::Critical);
    EXPECT_EQ(zip::snapshot(m_parent), before);

    window.reset();
    window = openWizard();
    EXPECT_TRUE(m_host.boxes.shown.empty());
    window->click();
    expectBox("Mise à jour terminée avec succès", platform::BoxIcon::Information);
    EXPECT_EQ(fileText(m_app / "lib/a.dll"), "nouveau a");
}

// Without the lock another wizard could work on the same folder: nothing starts.
TEST_F(SafeStartTest, FolderThatCannotBeLockedIsToldAndNothingChanges)
{
    std::filesystem::rename(m_app, m_parent / "ailleurs");
    zip::writeFile(m_app, "un fichier à la place du dossier");
    const zip::Tree before = zip::snapshot(m_parent);

    auto window = openWizard();

    expectBox("ne peut pas être réservé pour la mise à jour", platform::BoxIcon::Critical);
    EXPECT_EQ(m_host.end.ended, 1);
    EXPECT_EQ(zip::snapshot(m_parent), before);
}

TEST_F(SafeStartTest, ClosingTheWindowDuringTheInstallationWaitsForItToEnd)
{
    writePackage({{"kestrel11.exe", "nouvelle version"}});
    auto window = openWizard();
    window->show();
    window->closeDuringInstall = true;

    window->click();

    EXPECT_FALSE(window->closeAccepted);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(m_host.end.ended, 0);
    expectBox("Mise à jour terminée avec succès", platform::BoxIcon::Information);
    EXPECT_EQ(fileText(m_app / "kestrel11.exe"), "nouvelle version");
}

} // namespace
} // namespace kestrel::test
