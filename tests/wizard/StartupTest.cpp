// The window right after start-up.
#include "WizardHarness.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QScreen>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

TEST(Startup, FoldersEndInOneSeparatorAndNothingIsCreated)
{
    WizardFixture f;
    EXPECT_EQ(f.window->context().currentStep, 1);
    EXPECT_EQ(f.window->context().appFolder, QStringLiteral("/opt/kestrel/"));
    EXPECT_EQ(f.window->context().updatesFolder, QStringLiteral("/opt/kestrel/updates/"));
    EXPECT_FALSE(QDir(QStringLiteral("/opt/kestrel/updates")).exists());
    EXPECT_NE(f.window->context().grbDownload, nullptr);
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

// What Qt itself shows (standard buttons, network errors) is in French too.
TEST(Startup, QtsOwnTextsAreFrench)
{
    EXPECT_EQ(QCoreApplication::translate("QAbstractSocket", "Connection refused"), QStringLiteral("Connexion refusée"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Annuler"));
}

} // namespace
