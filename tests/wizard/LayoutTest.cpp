// The window layout, as numbers in twips and as the real widgets in pixels.
#include "WizardHarness.h"

#include "WindowLayout.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QTextBrowser>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

TEST(Layout, BelowTheMinimumSizeTheWindowSnapsBackWithTheNarrowestControls)
{
    for (const float width : {8000.0F, 7000.0F, 1.0F}) {
        SCOPED_TRACE(width);
        const WindowLayout l = computeWindowLayout(width, 9000, 0, 0);
        EXPECT_EQ(l.windowWidth, 8000);
        EXPECT_EQ(l.zoneRight.width, 4865);
        EXPECT_EQ(l.zoneBouton.width, 4865);
        EXPECT_EQ(l.cmdUpdate, (TwipRect{2930, 360, 1575, 495}));
        EXPECT_EQ(l.pbarUpdate, (TwipRect{360, 480, 2210, 255}));
        EXPECT_EQ(l.lblInfo, (TwipRect{0, 0, 2570, 480}));
    }
    EXPECT_EQ(computeWindowLayout(9000, 100, 0, 0).windowHeight, 6000);
    EXPECT_EQ(computeWindowLayout(9000, 6001, 0, 0).windowHeight, 6001);
}

// Larger than at start (11535 x 8300 twips): the browser, the right pane and its controls grow, the button moves.
TEST(Layout, TheRealWindowFollowsItsSizeAndKeepsItWhenMinimized)
{
    WizardFixture f;
    f.window->show();
    f.window->resize(900, 600);
    QCoreApplication::processEvents();
    auto *zoneRight = f.window->findChild<QWidget *>(QStringLiteral("ZoneRight"));
    auto *browser = f.window->findChild<QTextBrowser *>(QStringLiteral("BrowserUpdate"));
    auto *bar = f.window->findChild<QProgressBar *>(QStringLiteral("PBarUpdate"));
    EXPECT_EQ(f.window->findChild<QWidget *>(QStringLiteral("ZoneLeft"))->width(), 209);
    // The right pane starts where the left one ends: nothing of it lies under the step list.
    EXPECT_EQ(zoneRight->geometry(), QRect(209, 0, 900 - 209, 600));
    EXPECT_EQ(f.button()->geometry(), QRect(zoneRight->width() - 105 - 24, 24, 105, 33));
    EXPECT_EQ(bar->geometry(), QRect(24, 32, f.button()->x() - 24 - 24, 17));
    EXPECT_EQ(f.status()->geometry(), QRect(0, 0, f.button()->x() - 24, 32));
    EXPECT_EQ(browser->geometry(), QRect(0, 0, zoneRight->width(), 600 - 81));

    f.window->showMinimized();
    QCoreApplication::processEvents();
    EXPECT_EQ(browser->geometry(), QRect(0, 0, zoneRight->width(), 600 - 81));

    f.window->showNormal();
    f.window->resize(100, 100); // below the minimum the window keeps its minimum size
    QCoreApplication::processEvents();
    EXPECT_GE(f.window->width(), 533);
    EXPECT_GE(f.window->frameGeometry().height(), 400);
    EXPECT_GT(bar->width(), 0);
}

TEST(Layout, ALongStatusTextPushesTheBarDownInsideTheBottomPane)
{
    WizardFixture f;
    f.window->show();
    f.button()->click(); // ends on the three-line closing text
    QCoreApplication::processEvents();
    auto *bar = f.window->findChild<QProgressBar *>(QStringLiteral("PBarUpdate"));
    ASSERT_EQ(f.status()->text().count(QStringLiteral("\r\n")), 2);
    EXPECT_GE(f.status()->height(), 3 * f.status()->fontMetrics().height());
    EXPECT_GE(bar->y(), f.status()->geometry().bottom());
    EXPECT_LE(bar->geometry().bottom(), f.window->findChild<QWidget *>(QStringLiteral("ZoneBouton"))->height());
}

} // namespace
