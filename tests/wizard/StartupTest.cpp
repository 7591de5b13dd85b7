// The window right after start-up, and a click on the real button.
#include "WizardHarness.h"

#include "NetGrab.h"

#include <QDir>
#include <QImage>
#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

TEST(Startup, FoldersEndInOneSeparatorAndNothingIsCreated)
{
    WizardFixture f;
    EXPECT_EQ(f.window->context().appFolder, QStringLiteral("/opt/kestrel/"));
    EXPECT_EQ(f.window->context().updatesFolder, QStringLiteral("/opt/kestrel/updates/"));
    EXPECT_FALSE(QDir(QStringLiteral("/opt/kestrel/updates")).exists());
    EXPECT_NE(f.window->context().grbDownload, nullptr);
    EXPECT_TRUE(f.window->context().latestVersion.isEmpty());
    EXPECT_TRUE(f.window->context().packagePath.isEmpty());
}

TEST(Startup, EveryControlCarriesItsName)
{
    WizardFixture f;
    for (const char *name : {"CmdUpdate", "PBarUpdate", "LblInfo", "imgInit", "imgStart", "imgDone", "Image1",
                             "ZoneLeft", "ZoneRight", "ZoneBouton", "BrowserUpdate", "grbDownloadControl"})
        EXPECT_NE(f.window->findChild<QObject *>(QLatin1String(name)), nullptr) << name;
    const QStringList names = {QStringLiteral("Vérification des prérequis"), QStringLiteral("Téléchargement des fichiers"),
                               QStringLiteral("Installation de la mise à jour"),
                               QStringLiteral("Suppression des fichiers temporaires"),
                               QStringLiteral("Mise à jour terminée")};
    for (int i = 0; i < 5; ++i) {
        EXPECT_NE(f.window->findChild<QLabel *>(QStringLiteral("imgEtape(%1)").arg(i)), nullptr);
        auto *label = f.window->findChild<QLabel *>(QStringLiteral("lblEtape(%1)").arg(i));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), names[i]);
    }
    // Children in creation order: the right pane before the left one, the button before the bar.
    auto *zoneBouton = f.window->findChild<QWidget *>(QStringLiteral("ZoneBouton"));
    const QObjectList kids = zoneBouton->children();
    ASSERT_GE(kids.size(), 3);
    EXPECT_EQ(kids[0]->objectName(), QStringLiteral("CmdUpdate"));
    EXPECT_EQ(kids[1]->objectName(), QStringLiteral("PBarUpdate"));
    EXPECT_EQ(kids[2]->objectName(), QStringLiteral("LblInfo"));
    EXPECT_FALSE(f.window->findChild<QLabel *>(QStringLiteral("imgInit"))->isVisibleTo(f.window.get()));
    EXPECT_EQ(f.window->findChild<QLabel *>(QStringLiteral("Image1"))->pixmap().size(), QSize(142, 45));
}

TEST(Startup, OpensCentred)
{
    WizardFixture f;
    f.window->show();
    QCoreApplication::processEvents();
    const QPoint screenCentre = f.window->screen()->availableGeometry().center();
    const QPoint windowCentre = f.window->frameGeometry().center();
    EXPECT_LE((screenCentre - windowCentre).manhattanLength(), 2);
}

TEST(Startup, AClickOnTheRealButtonRunsStepOne)
{
    WizardFixture f;
    f.window->prerequisites = {false};
    f.window->show();
    QCoreApplication::processEvents();
    f.button()->click();
    EXPECT_EQ(f.status()->text(), QStringLiteral("Vérification des prérequis en cours..."));
    EXPECT_EQ(f.window->calls, std::vector<int>{1});
}

TEST(Startup, KeyboardAndAssistiveTechnologies)
{
    WizardFixture f;
    f.window->prerequisites = {false};
    f.window->show();
    f.window->activateWindow();
    QCoreApplication::processEvents();
    EXPECT_TRUE(f.button()->hasFocus());
    EXPECT_TRUE(f.button()->isDefault());
    EXPECT_EQ(f.window->findChild<QLabel *>(QStringLiteral("imgEtape(0)"))->accessibleName(),
              QStringLiteral("Vérification des prérequis : en attente"));

    // Enter presses the focused action button; after the failed step the focus is back on it.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(f.button(), &enter);
    QKeyEvent enterUp(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(f.button(), &enterUp);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.window->calls, std::vector<int>{1});
    EXPECT_TRUE(f.button()->hasFocus());
    EXPECT_EQ(f.window->findChild<QLabel *>(QStringLiteral("imgEtape(0)"))->accessibleName(),
              QStringLiteral("Vérification des prérequis : en cours"));
    for (const char *name : {"ZoneLeft", "ZoneRight", "ZoneBouton", "BrowserUpdate", "PBarUpdate", "Image1"})
        EXPECT_FALSE(f.window->findChild<QWidget *>(QLatin1String(name))->accessibleName().isEmpty()) << name;
}

// Renders the first screen for people to look at (the README shows a copy of it).
TEST(Startup, RendersTheFirstScreen)
{
    WizardFixture f;
    f.window->show();
    QCoreApplication::processEvents();
    const QImage shot = f.window->grab().toImage();
    ASSERT_FALSE(shot.isNull());
    // The step list stands on white; the pending icons are drawn on it.
    auto *zoneLeft = f.window->findChild<QWidget *>(QStringLiteral("ZoneLeft"));
    const QPoint inLeftPane(zoneLeft->geometry().center().x(), zoneLeft->height() - 5);
    EXPECT_EQ(shot.pixelColor(inLeftPane * shot.devicePixelRatio()), QColor(Qt::white));
    QDir().mkpath(QStringLiteral(KESTREL_SCREENSHOT_DIR));
    EXPECT_TRUE(shot.save(QStringLiteral(KESTREL_SCREENSHOT_DIR "/window.png")));
}

// What Qt itself shows (standard buttons, network errors) is in French too.
TEST(Startup, QtsOwnTextsAreFrench)
{
    EXPECT_EQ(QCoreApplication::translate("QAbstractSocket", "Connection refused"), QStringLiteral("Connexion refusée"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Annuler"));
}

} // namespace
