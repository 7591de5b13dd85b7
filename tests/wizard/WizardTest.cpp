// The real window with scripted step procedures: controller, layout, start-up; the welcome page.
#include "core/SupportContact.h"
#include "platform/KestrelConfig.h"
#include "support/FakeStepHost.h"
#include "wizard/FrmUpdate.h"
#include "wizard/WelcomePage.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString kCRLF = QStringLiteral("\r\n");
const QString kSuccess = QStringLiteral("Mise à jour terminée avec succès\u00A0!");

class ScriptedWizard : public wizard::FrmUpdate {
public:
    using wizard::FrmUpdate::FrmUpdate;

    // The steps whose next run fails. A download stands for one that has ended, its handlers' work done.
    std::set<int> failOnce;
    std::vector<int> calls; // step numbers, in the order their procedures ran

protected:
    bool CheckPrerequisites() override { return next(1); }
    bool StartDownload() override
    {
        const bool stored = next(2);
        if (!stored)
            enableActionButton();
        return stored;
    }
    bool StartInstall() override { return next(3); }
    bool CleanTemporaryFiles() override { return next(4); }

private:
    bool next(int step)
    {
        calls.push_back(step);
        return failOnce.erase(step) == 0;
    }
};

struct WizardFixture {
    template <typename Widget = QWidget>
    Widget *child(const QString &name) const { return window->findChild<Widget *>(name); }
    QPushButton *button() const { return child<QPushButton>(QStringLiteral("CmdUpdate")); }
    QLabel *status() const { return child<QLabel>(QStringLiteral("LblInfo")); }

    // The five step icons as letters: p pending, r running, d done.
    std::string icons() const
    {
        const auto key = [this](const QString &name) { return child<QLabel>(name)->pixmap().cacheKey(); };
        const std::map<qint64, char> letters{{key("imgInit"), 'p'}, {key("imgStart"), 'r'}, {key("imgDone"), 'd'}};
        std::string shown;
        for (int i = 0; i < 5; ++i) {
            const auto found = letters.find(key(QStringLiteral("imgEtape(%1)").arg(i)));
            shown += found == letters.end() ? '?' : found->second;
        }
        return shown;
    }

    QNetworkAccessManager network;
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    CountingPump pump;
    const std::unique_ptr<ScriptedWizard> window = std::make_unique<ScriptedWizard>(wizard::WizardServices{
        &boxes, &end, &pump, {&network, QStringLiteral("https://127.0.0.1:9/vb6/v1/softwares/"), {}, {}}, "/opt/kestrel"});
};

TEST(Controller, OneClickRunsEveryStepToTerminerWhichEndsTheProgram)
{
    WizardFixture f;
    EXPECT_EQ(f.window->windowTitle(), QStringLiteral("Mise à jour Kestrel 11"));
    EXPECT_EQ(f.button()->text(), QStringLiteral("Commencer"));
    EXPECT_EQ(f.icons(), "ppppp");
    EXPECT_EQ(f.window->context().updatesFolder, QStringLiteral("/opt/kestrel/updates/"));
    EXPECT_FALSE(QDir(QStringLiteral("/opt/kestrel/updates")).exists());
    f.window->context().latestVersion = QStringLiteral("11.0.27");
    std::string iconsAtBox;
    f.boxes.onShow = [&](const RecordedBox &) { iconsAtBox = f.icons(); };

    f.button()->click();

    EXPECT_EQ(f.window->calls, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(f.button()->text(), QStringLiteral("Terminer"));
    EXPECT_EQ(f.status()->text(),
              kSuccess + kCRLF + QStringLiteral("Vous utilisez maintenant la version 11.0.27 de Kestrel 11.") + kCRLF
                  + QStringLiteral("Cliquez sur \"Terminer\" pour fermer le programme de mise à jour."));
    // Step five turns finished before the success box, step four after it.
    EXPECT_EQ(iconsAtBox, "dddrd");
    EXPECT_EQ(f.icons(), "ddddd");
    ASSERT_EQ(f.boxes.shown.size(), 1U);
    EXPECT_EQ(f.boxes.shown[0].text, kSuccess + core::SupportContactText());
    EXPECT_EQ(f.boxes.shown[0].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(f.boxes.shown[0].icon, platform::BoxIcon::Information);
    EXPECT_EQ(f.boxes.shown[0].buttons, platform::BoxButtons::Ok);

    f.button()->click();
    EXPECT_EQ(f.end.ended, 1);
    EXPECT_EQ(f.window->calls.size(), 4U);
}

TEST(Controller, AFailedStepStaysCurrentAndAClickRepeatsIt)
{
    WizardFixture f;
    f.window->failOnce = {1, 2, 3};
    const struct {
        const char *caption;
        std::vector<int> calls;
        const char *icons;
    } clicks[] = {{"Commencer", {1}, "rpppp"},
                  {"Télécharger", {1, 1, 2}, "drppp"},
                  {"Installer", {1, 1, 2, 2, 3}, "ddrpp"},
                  {"Terminer", {1, 1, 2, 2, 3, 3, 4}, "ddddd"}};
    for (const auto &click : clicks) {
        f.button()->click();
        EXPECT_EQ(f.window->calls, click.calls);
        EXPECT_EQ(f.button()->text(), QString::fromUtf8(click.caption));
        EXPECT_TRUE(f.button()->isEnabled());
        EXPECT_EQ(f.icons(), click.icons);
    }
    EXPECT_EQ(f.end.ended, 0);
}

// The paragraph that ends the boxes carries the contacts the build was configured with.
TEST(Controller, SupportContactParagraph)
{
    EXPECT_EQ(core::SupportContactText(),
              kCRLF + kCRLF + QStringLiteral("Si vous rencontrez des difficultés, veuillez contacter notre support technique :")
                  + kCRLF + QStringLiteral("- Email : ") + QString::fromUtf8(platform::config::kSupportEmail) + kCRLF
                  + QStringLiteral("- Téléphone : ") + QString::fromUtf8(platform::config::kSupportPhone));
}

// Larger than at start (11535 x 8300 twips): the browser, the right pane and its controls grow,
// the button moves; minimized, the window keeps its layout; the closing text pushes the bar down.
TEST(Layout, TheRealWindowFollowsItsSize)
{
    WizardFixture f;
    f.window->show();
    f.window->resize(900, 600);
    QCoreApplication::processEvents();
    auto *zoneRight = f.child(QStringLiteral("ZoneRight"));
    auto *browser = f.child(QStringLiteral("BrowserUpdate"));
    auto *bar = f.child(QStringLiteral("PBarUpdate"));
    EXPECT_EQ(f.child(QStringLiteral("ZoneLeft"))->width(), 209);
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
    f.button()->click(); // ends on the three-line closing text
    QCoreApplication::processEvents();
    EXPECT_GE(f.status()->height(), 3 * f.status()->fontMetrics().height());
    EXPECT_GE(bar->y(), f.status()->geometry().bottom());
    EXPECT_LE(bar->geometry().bottom(), f.child(QStringLiteral("ZoneBouton"))->height());

    // Below the minimum size (8000 x 6000 twips) the window snaps back, with the narrowest controls.
    f.window->resize(100, 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.window->width(), 533);
    EXPECT_GE(f.window->frameGeometry().height(), 400);
    EXPECT_EQ(f.button()->geometry(), QRect(195, 24, 105, 33));
    EXPECT_EQ(bar->geometry().size(), QSize(147, 17));
}

// Centred, the welcome page with working links, the keyboard and assistive technologies.
TEST(Startup, TheWindowAsItOpens)
{
    WizardFixture f;
    f.window->failOnce = {1};
    f.window->show();
    f.window->activateWindow();
    QCoreApplication::processEvents();
    const QPoint screenCentre = f.window->screen()->availableGeometry().center();
    EXPECT_LE((screenCentre - f.window->frameGeometry().center()).manhattanLength(), 2);

    auto *browser = f.child<QTextBrowser>(QStringLiteral("BrowserUpdate"));
    EXPECT_TRUE(browser->openExternalLinks());
    EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Programme de Mise à Jour de Kestrel 11.")));
    EXPECT_TRUE(browser->toHtml().contains(QStringLiteral("mailto:") + core::configuredSupportContacts().email));

    auto *firstIcon = f.child(QStringLiteral("imgEtape(0)"));
    EXPECT_TRUE(f.button()->hasFocus());
    EXPECT_TRUE(f.button()->isDefault());
    EXPECT_EQ(firstIcon->accessibleName(), QStringLiteral("Vérification des prérequis : en attente"));
    // Enter presses the focused action button; after the failed step the focus is back on it.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(f.button(), &enter);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.window->calls, std::vector<int>{1});
    EXPECT_TRUE(f.button()->hasFocus());
    EXPECT_EQ(firstIcon->accessibleName(), QStringLiteral("Vérification des prérequis : en cours"));
    for (const char *name : {"ZoneLeft", "ZoneRight", "ZoneBouton", "BrowserUpdate", "PBarUpdate", "Image1"})
        EXPECT_FALSE(f.child(QLatin1String(name))->accessibleName().isEmpty()) << name;
}

// What Qt itself shows (standard buttons, network errors) is in French too.
TEST(Startup, QtsOwnTextsAreFrench)
{
    EXPECT_EQ(QCoreApplication::translate("QAbstractSocket", "Connection refused"), QStringLiteral("Connexion refusée"));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Annuler"));
}

// Contacts of their own, so that the page matches whatever the build was configured with.
const core::SupportContacts kContacts{QStringLiteral("aide@exemple.test"), QStringLiteral("+33 9 99 99 99 99"),
                                QStringLiteral("https://www.exemple.test/support")};

// Line by line, then with another name and duration where they belong.
TEST(WelcomePage, MatchesThePageLineByLine)
{
    QFile file(QStringLiteral(KESTREL_TEST_DATA "/welcome-page.html"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // The file ends in one line break, LF alone; the page has CR LF between lines, none at the end.
    const QStringList expected = QString::fromUtf8(file.readAll()).chopped(1).split(QLatin1Char('\n'));
    ASSERT_EQ(expected.size(), 75);
    EXPECT_EQ(wizard::WelcomePageText(QStringLiteral("Kestrel 11"), 5, kContacts).split(QStringLiteral("\r\n")), expected);

    const QStringList other = wizard::WelcomePageText(QStringLiteral("Autre Nom"), 12, kContacts).split(QStringLiteral("\r\n"));
    EXPECT_EQ(other[38], QStringLiteral("    <h3>Programme de Mise à Jour de <span class=\"important\">Autre Nom</span>.</h3>"));
    EXPECT_TRUE(other[39].startsWith(QStringLiteral("    <p>Nous vous remercions d'utiliser <strong>Autre Nom</strong>. ")));
    EXPECT_TRUE(other[65].contains(QStringLiteral("environ <strong>12</strong> minutes.")));
}

class ScriptedView : public wizard::HtmlView {
public:
    void navigateToBlank() override { log += QStringLiteral("navigate;"); }
    int readyState() override
    {
        log += QStringLiteral("state;");
        return notReady < 0 || notReady-- > 0 ? 1 : wizard::kReadyStateComplete;
    }
    void writeDocument(const QString &html) override { log += QStringLiteral("write:") + html; }
    int notReady = 0; // how many reads answer "not ready"; -1: all of them
    QString log;
};

// The page is written once the empty document is ready, or after the limit when it never gets ready.
TEST(WelcomePage, WaitsProcessingEventsUntilTheDocumentIsReady)
{
    for (const int notReady : {0, 3, -1}) {
        SCOPED_TRACE(notReady);
        ScriptedView view;
        view.notReady = notReady;
        CountingPump pump;
        wizard::ShowPage(view, pump, [] { return QStringLiteral("page"); }, std::chrono::milliseconds(notReady < 0 ? 50 : 300000));
        if (notReady < 0)
            EXPECT_GT(pump.calls, 0);
        else
            EXPECT_EQ(pump.calls, notReady);
        EXPECT_TRUE(view.log.startsWith(QStringLiteral("navigate;state;")));
        EXPECT_TRUE(view.log.endsWith(QStringLiteral("write:page")));
    }
}

} // namespace
