// The real window with scripted step procedures: controller, layout, start-up; the welcome page.
#include "core/SupportContact.h"
#include "support/FakeStepHost.h"
#include "wizard/FrmUpdate.h"
#include "wizard/QtSeams.h"
#include "wizard/WelcomePage.h"
#include "wizard/WindowLayout.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QTimer>

#include <map>
#include <set>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const QString kCRLF = QStringLiteral("\r\n");
const QString kSuccess = QStringLiteral("Mise à jour terminée avec succès\u00A0!");

// The steps in failOnce fail at their next run; a download stands for one that has ended.
class ScriptedWizard : public wizard::FrmUpdate {
public:
    using wizard::FrmUpdate::FrmUpdate;
    std::set<int> failOnce;
    std::vector<int> calls; // step numbers, in the order their procedures ran

protected:
    bool CheckPrerequisites() override { return next(1); }
    bool StartDownload() override { return next(2) || (enableActionButton(), false); }
    bool StartInstall() override { return next(3); }
    bool CleanTemporaryFiles() override { return next(4); }

private:
    bool next(int step) { return calls.push_back(step), failOnce.erase(step) == 0; }
};

struct WizardFixture {
    template <typename Widget = QWidget>
    Widget *child(const char *name) const { return window->findChild<Widget *>(QLatin1String(name)); }
    QPushButton *button() const { return child<QPushButton>("CmdUpdate"); }
    QLabel *status() const { return child<QLabel>("LblInfo"); }

    // The five step icons as letters: p pending, r running, d done.
    std::string icons() const
    {
        const auto key = [this](const QString &name) { return window->findChild<QLabel *>(name)->pixmap().cacheKey(); };
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
    EXPECT_EQ(f.status()->text(), kSuccess + kCRLF + QStringLiteral("Vous utilisez maintenant la version 11.0.27 de Kestrel 11.") + kCRLF
                                      + QStringLiteral("Cliquez sur \"Terminer\" pour fermer le programme de mise à jour."));
    EXPECT_EQ(iconsAtBox, "dddrd"); // step five turns finished before the success box, step four after it
    EXPECT_EQ(f.icons(), "ddddd");
    ASSERT_EQ(f.boxes.shown.size(), 1U);
    EXPECT_EQ(std::make_tuple(f.boxes.shown[0].text, f.boxes.shown[0].title, f.boxes.shown[0].icon),
              std::make_tuple(kSuccess + core::SupportContactText(), QStringLiteral("Mise à jour"), platform::BoxIcon::Information));
    EXPECT_TRUE(core::SupportContactText().startsWith(kCRLF + kCRLF + "Si vous rencontrez des difficultés, veuillez contacter notre support technique :\r\n- Email : "));

    f.button()->click();
    EXPECT_EQ(f.end.ended, 1);
    EXPECT_EQ(f.window->calls.size(), 4U);
}

TEST(Controller, AFailedStepStaysCurrentAndAClickRepeatsIt)
{
    WizardFixture f;
    f.window->failOnce = {1, 2, 3};
    const struct { const char *caption; std::vector<int> calls; const char *icons; } clicks[] = {
        {"Commencer", {1}, "rpppp"}, {"Télécharger", {1, 1, 2}, "drppp"},
        {"Installer", {1, 1, 2, 2, 3}, "ddrpp"}, {"Terminer", {1, 1, 2, 2, 3, 3, 4}, "ddddd"}};
    for (const auto &click : clicks) {
        f.button()->click();
        EXPECT_EQ(f.window->calls, click.calls);
        EXPECT_EQ(f.button()->text(), QString::fromUtf8(click.caption));
        EXPECT_TRUE(f.button()->isEnabled());
        EXPECT_EQ(f.icons(), click.icons);
    }
    EXPECT_EQ(f.end.ended, 0);
}

// The design's four cases, in twips: the minimum width, dragged narrower, taller by 600, wider by 1000.
TEST(Layout, TheDesignsFourCases)
{
    using wizard::TwipRect;
    const auto at = [](float width, float height) {
        const wizard::WindowLayout l = wizard::computeWindowLayout(width, height, 120, 450); // frame and title bar
        return std::vector<TwipRect>{{0, 0, l.windowWidth, l.windowHeight}, l.zoneRight, l.zoneBouton, l.cmdUpdate,
                                     l.pbarUpdate, l.lblInfo, l.browserUpdate};
    };
    const std::vector<TwipRect> minimum{{0, 0, 8000, 7000}, {3015, 0, 4865, 6550}, {0, 5335, 4865, 1215}, {2930, 360, 1575, 495},
                                        {360, 480, 2210, 255}, {0, 0, 2570, 480}, {0, 0, 4865, 5335}};
    EXPECT_EQ(at(8000, 7000), minimum);
    EXPECT_EQ(at(7000, 7000), minimum);
    std::vector<TwipRect> taller = minimum, wider = minimum;
    taller[0].height += 600, taller[1].height += 600, taller[2].top += 600, taller[6].height += 600;
    EXPECT_EQ(at(8000, 7600), taller);
    for (const int i : {0, 1, 2, 4, 5, 6})
        wider[i].width += 1000;
    wider[3].left += 1000;
    EXPECT_EQ(at(9000, 7000), wider);
    EXPECT_EQ(at(9000, 5000)[0], (TwipRect{0, 0, 9000, 6000})); // at 6000 or less, the height is 6000
}

// Minimized it keeps its layout; the closing text pushes the bar down; below 8000 by 6000 twips with the frame it snaps back.
TEST(Layout, TheRealWindowFollowsItsSize)
{
    WizardFixture f;
    f.window->show();
    f.window->resize(900, 600);
    QCoreApplication::processEvents();
    const QRect browser = f.child("BrowserUpdate")->geometry();
    f.window->showMinimized();
    QCoreApplication::processEvents();
    EXPECT_EQ(f.child("BrowserUpdate")->geometry(), browser);

    f.window->showNormal();
    f.button()->click(); // ends on the three-line closing text
    QCoreApplication::processEvents();
    auto *bar = f.child("PBarUpdate");
    EXPECT_GE(f.status()->height(), 3 * f.status()->fontMetrics().height());
    EXPECT_GE(bar->y(), f.status()->geometry().bottom());
    EXPECT_LE(bar->geometry().bottom(), f.child("ZoneBouton")->height());

    f.window->resize(100, 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.window->width(), 533);
    EXPECT_GE(f.window->frameGeometry().height(), 400);
    EXPECT_GE(bar->y(), f.status()->geometry().bottom()); // the closing text needs more lines there
    EXPECT_LE(bar->geometry().bottom(), f.child("ZoneBouton")->height());
}

// The float range on the real bar: 1.5 of 3 and 100 of 100.1 show as such.
TEST(QtSeams, TheProgressBarShowsTheFloatRange)
{
    QProgressBar real;
    wizard::QtProgressBar bar(&real);
    const struct { float min, max, value; double shown; } rows[] = {
        {0, 3, 1.5F, 0.5}, {0, 100.1F, 100, 100 / 100.1}, {10, 90, 30, 0.25}, {0, 100.1F, 100.1F, 1}};
    for (const auto &row : rows) {
        bar.setMin(row.min);
        bar.setMax(row.max);
        EXPECT_TRUE(bar.setValue(row.value));
        EXPECT_NEAR(double(real.value() - real.minimum()) / (real.maximum() - real.minimum()), row.shown, 1e-4) << row.value;
    }
    EXPECT_FALSE(bar.setValue(100.2F));
    EXPECT_EQ(real.value(), real.maximum());
}

// A real box shows the text with plain line breaks, the title and the icon; Enter presses the default button, Escape the one that stops.
TEST(QtSeams, TheBoxesDefaultAndEscapeButtons)
{
    using platform::BoxAnswer, platform::BoxButtons;
    const struct { BoxButtons buttons; Qt::Key key; BoxAnswer answer; } rows[] = {
        {BoxButtons::Ok, Qt::Key_Return, BoxAnswer::Ok}, {BoxButtons::Ok, Qt::Key_Escape, BoxAnswer::Ok},
        {BoxButtons::AbortRetryIgnore, Qt::Key_Return, BoxAnswer::Retry}, {BoxButtons::AbortRetryIgnore, Qt::Key_Escape, BoxAnswer::Abort}};
    for (const auto &row : rows) {
        QTimer press;
        QObject::connect(&press, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                press.stop();
                EXPECT_EQ(box->text() + box->windowTitle(), QStringLiteral("texte\n\nsuitetitre"));
                EXPECT_EQ(box->icon(), QMessageBox::Critical);
                QKeyEvent key(QEvent::KeyPress, row.key, Qt::NoModifier);
                QApplication::sendEvent(box, &key);
            }
        });
        press.start(10);
        EXPECT_EQ(wizard::QtMessageBoxes().show(QStringLiteral("texte\r\n\r\nsuite"), QStringLiteral("titre"), platform::BoxIcon::Critical,
                                                row.buttons), row.answer) << row.key;
    }
}

// Centred, the welcome page with working links, the keyboard and assistive technologies.
TEST(Startup, TheWindowAsItOpens)
{
    WizardFixture f;
    f.window->failOnce = {1};
    f.window->show();
    f.window->activateWindow();
    QCoreApplication::processEvents();
    EXPECT_LE((f.window->screen()->availableGeometry().center() - f.window->frameGeometry().center()).manhattanLength(), 2);
    auto *browser = f.child<QTextBrowser>("BrowserUpdate");
    EXPECT_TRUE(browser->openExternalLinks());
    EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Programme de Mise à Jour de Kestrel 11.")));
    EXPECT_TRUE(browser->toHtml().contains(QStringLiteral("mailto:") + core::configuredSupportContacts().email));

    auto *firstIcon = f.child("imgEtape(0)");
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
        EXPECT_FALSE(f.child(name)->accessibleName().isEmpty()) << name;
}

// Line by line with contacts of its own (the page must not follow the build's), then with another name and duration where they belong.
TEST(WelcomePage, MatchesThePageLineByLine)
{
    const core::SupportContacts contacts{QStringLiteral("aide@exemple.test"), QStringLiteral("+33 9 99 99 99 99"),
                                         QStringLiteral("https://www.exemple.test/support")};
    QFile file(QStringLiteral(KESTREL_TEST_DATA "/welcome-page.html"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    // The file ends in one line break, LF alone; the page has CR LF between lines, none at the end.
    const QStringList expected = QString::fromUtf8(file.readAll()).chopped(1).split(QLatin1Char('\n'));
    ASSERT_EQ(expected.size(), 75);
    EXPECT_EQ(wizard::WelcomePageText(QStringLiteral("Kestrel 11"), 5, contacts).split(kCRLF), expected);
    QStringList other = expected;
    other[38].replace(QStringLiteral("Kestrel 11"), QStringLiteral("Autre Nom")), other[39].replace(QStringLiteral("Kestrel 11"), QStringLiteral("Autre Nom"));
    other[65].replace(QStringLiteral("<strong>5</strong>"), QStringLiteral("<strong>12</strong>"));
    EXPECT_EQ(wizard::WelcomePageText(QStringLiteral("Autre Nom"), 12, contacts).split(kCRLF), other);
}

// A view whose empty document gets ready after notReady reads (-1: never): the page is written once it is ready, or after the limit.
TEST(WelcomePage, WaitsProcessingEventsUntilTheDocumentIsReady)
{
    struct ScriptedView : wizard::HtmlView {
        void navigateToBlank() override { log += QStringLiteral("navigate;"); }
        int readyState() override { return log += QStringLiteral("state;"), notReady < 0 || notReady-- > 0 ? 1 : wizard::kReadyStateComplete; }
        void writeDocument(const QString &html) override { log += QStringLiteral("write:") + html; }
        int notReady;
        QString log;
    };
    for (const int notReady : {0, 3, -1}) {
        ScriptedView view;
        view.notReady = notReady;
        CountingPump pump;
        wizard::ShowPage(view, pump, [] { return QStringLiteral("page"); }, std::chrono::milliseconds(notReady < 0 ? 50 : 300000));
        EXPECT_TRUE(notReady < 0 ? pump.calls > 0 : pump.calls == notReady) << notReady;
        EXPECT_TRUE(view.log.startsWith(QStringLiteral("navigate;state;")) && view.log.endsWith(QStringLiteral("write:page"))) << notReady;
    }
}

} // namespace
