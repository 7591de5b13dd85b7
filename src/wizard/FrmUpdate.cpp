#include "wizard/FrmUpdate.h"

#include "core/Product.h"
#include "core/SupportContact.h"
#include "download/DownloadStep.h"
#include "download/NetGrab.h"
#include "install/steps/Cleanup.h"
#include "install/steps/EarlyStaging.h"
#include "install/steps/Install.h"
#include "install/steps/StartUp.h"
#include "os/FileSystem.h"
#include "os/FolderLock.h"
#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "prerequisites/Prerequisites.h"
#include "wizard/SingleWizard.h"
#include "wizard/StepTexts.h"
#include "wizard/WindowLayout.h"
#include "platform/ProxyAccess.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QTextBrowser>

#include <cmath>

// The pictures live in this static library; they must be registered before first use.
static void initResources()
{
    Q_INIT_RESOURCE(kestrel);
}

namespace kestrel::wizard {

namespace {

int px(float twips)
{
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}

QRect pxRect(float left, float top, float width, float height)
{
    return {px(left), px(top), px(width), px(height)};
}

QRect pxRect(const TwipRect &r)
{
    return pxRect(r.left, r.top, r.width, r.height);
}

// The status label's height and the progress bar's top, in twips.
constexpr float kStatusHeight = 480;
// Below the progress bar when a long status text has pushed it down.
constexpr float kBarBottomMargin = 120;

// QTextBrowser renders synchronously, so its empty document is complete at once.
class TextBrowserView final : public HtmlView {
public:
    explicit TextBrowserView(QTextBrowser *browser) : m_browser(browser) {}
    void navigateToBlank() override { m_browser->clear(); }
    int readyState() override { return kReadyStateComplete; }
    void writeDocument(const QString &html) override { m_browser->setHtml(html); }

private:
    QTextBrowser *m_browser;
};

QLabel *picture(QWidget *parent, const char *name, const QString &resource, const QRect &geometry)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setPixmap(QPixmap(resource));
    label->setGeometry(geometry);
    return label;
}

} // namespace

FrmUpdate::FrmUpdate(WizardServices services, QWidget *parent)
    : QWidget(parent), m_services(std::move(services)),
      m_pump(m_services.eventPump ? m_services.eventPump : &m_qtPump)
{
    Form_Initialize();
}

FrmUpdate::~FrmUpdate() = default;

void FrmUpdate::Form_Initialize()
{
    // Qt needs no InitCommonControls: its widgets are ready once the application object exists.
    if (m_services.updateService.network)
        platform::enforceTrustedCa(*m_services.updateService.network, m_services.updateService.http);
    m_context.appFolder = QString::fromStdString(os::withTrailingSeparator(
        m_services.programFolder.toStdString(), os::nativeSeparator()));
    m_context.updatesFolder = m_context.appFolder + QStringLiteral("updates") + QChar::fromLatin1(os::nativeSeparator());

    createControls();
    Form_Load();
    setWindowTitle(windowTitle() + QLatin1Char(' ') + core::kDisplayName);
    TriggerNextStep();
    m_earlyStaging = std::make_unique<install::steps::EarlyStaging>();
    m_download = std::make_unique<download::DownloadStep>(*this, *grbDownloadControl, m_earlyStaging.get());
    connect(grbDownloadControl, &download::NetGrab::DownloadProgress, this, &FrmUpdate::grbDownload_DownloadProgress);
    connect(grbDownloadControl, &download::NetGrab::DownloadComplete, this, &FrmUpdate::grbDownload_DownloadComplete);
    connect(grbDownloadControl, &download::NetGrab::DownloadFailed, this, &FrmUpdate::grbDownload_DownloadFailed);
    m_folderLock = std::make_unique<os::FolderLock>();
    if (ClaimApplicationFolder(*this, *m_folderLock))
        install::steps::SettleInterruptedInstall(*this);
}

void FrmUpdate::createControls()
{
    initResources();
    setObjectName(QStringLiteral("FrmUpdate"));
    setWindowTitle(QStringLiteral("Mise à jour"));
    setWindowIcon(QIcon(QStringLiteral(":/kestrel/window.png")));
    resize(px(11535), px(7800));
    setMinimumSize(px(kMinWindowWidth), px(kMinWindowHeight));

    grbDownloadControl = new download::NetGrab(*m_services.updateService.network, m_services.updateService.http, this);
    if (m_services.proxyCredentials)
        platform::answerProxyChallenges(*m_services.updateService.network, *m_services.proxyCredentials, this);
    grbDownloadControl->setObjectName(QStringLiteral("grbDownloadControl"));

    ZoneRight = new QWidget(this);
    ZoneRight->setObjectName(QStringLiteral("ZoneRight"));
    ZoneRight->setGeometry(pxRect(4215, 0, 7320, 7800));
    ZoneRight->setAccessibleName(QStringLiteral("Mise à jour"));

    BrowserUpdate = new QTextBrowser(ZoneRight);
    BrowserUpdate->setObjectName(QStringLiteral("BrowserUpdate"));
    BrowserUpdate->setGeometry(pxRect(0, 0, 6735, 5895));
    BrowserUpdate->setOpenExternalLinks(true);
    BrowserUpdate->setFrameShape(QFrame::NoFrame);
    BrowserUpdate->setAccessibleName(QStringLiteral("Bienvenue"));
    m_browserView = std::make_unique<TextBrowserView>(BrowserUpdate);

    ZoneBouton = new QWidget(ZoneRight);
    ZoneBouton->setObjectName(QStringLiteral("ZoneBouton"));
    ZoneBouton->setGeometry(pxRect(0, 6360, 7215, 1215));
    ZoneBouton->setAccessibleName(QStringLiteral("Avancement"));

    CmdUpdate = new QPushButton(ZoneBouton);
    CmdUpdate->setObjectName(QStringLiteral("CmdUpdate"));
    CmdUpdate->setGeometry(pxRect(5280, 360, 1575, 495));
    CmdUpdate->setDefault(true);
    connect(CmdUpdate, &QPushButton::clicked, this, &FrmUpdate::CmdUpdate_Click);

    PBarUpdate = new QProgressBar(ZoneBouton);
    PBarUpdate->setObjectName(QStringLiteral("PBarUpdate"));
    PBarUpdate->setGeometry(pxRect(0, 480, 3375, 255));
    PBarUpdate->setAccessibleName(QStringLiteral("Progression de l'étape"));
    m_progress = std::make_unique<QtProgressBar>(PBarUpdate);

    LblInfo = new QLabel(ZoneBouton);
    LblInfo->setObjectName(QStringLiteral("LblInfo"));
    LblInfo->setGeometry(pxRect(0, 0, 3615, 495));
    LblInfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LblInfo->setTextFormat(Qt::PlainText);
    // A little air between the text and the edge of the pane; long lines wrap.
    LblInfo->setContentsMargins(px(120), px(60), 0, 0);
    LblInfo->setWordWrap(true);
    LblInfo->setAccessibleDescription(QStringLiteral("État de la mise à jour"));

    ZoneLeft = new QWidget(this);
    ZoneLeft->setObjectName(QStringLiteral("ZoneLeft"));
    ZoneLeft->setGeometry(pxRect(0, 0, 3135, 7800));
    ZoneLeft->setAutoFillBackground(true);
    QPalette white = ZoneLeft->palette();
    white.setColor(QPalette::Window, Qt::white);
    ZoneLeft->setPalette(white);
    ZoneLeft->setAccessibleName(QStringLiteral("Étapes de la mise à jour"));

    imgInit = picture(ZoneLeft, "imgInit", QStringLiteral(":/kestrel/step-pending.png"), pxRect(480, 6000, 240, 240));
    imgInit->hide();
    imgInit->setAccessibleName(QStringLiteral("en attente"));
    for (int i = 0; i < 5; ++i) {
        imgEtape[i] = picture(ZoneLeft, "imgEtape", QString(), pxRect(120, 1920 + 600 * i, 240, 240));
        imgEtape[i]->setObjectName(QStringLiteral("imgEtape(%1)").arg(i));
        setStepIcon(i, imgInit);
    }
    imgStart = picture(ZoneLeft, "imgStart", QStringLiteral(":/kestrel/step-running.png"), pxRect(840, 6000, 240, 240));
    imgStart->hide();
    imgStart->setAccessibleName(QStringLiteral("en cours"));
    imgDone = picture(ZoneLeft, "imgDone", QStringLiteral(":/kestrel/step-done.png"), pxRect(1200, 6000, 240, 240));
    imgDone->hide();
    imgDone->setAccessibleName(QStringLiteral("terminée"));
    for (int i = 0; i < 5; ++i) {
        lblEtape[i] = new QLabel(stepTexts()[i].name, ZoneLeft);
        lblEtape[i]->setObjectName(QStringLiteral("lblEtape(%1)").arg(i));
        // Two lines' height: the longest step name does not fit on one line in common fonts.
        lblEtape[i]->setGeometry(pxRect(360, 1920 + 600 * i, 2655, 540));
        lblEtape[i]->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        lblEtape[i]->setWordWrap(true);
    }
    Image1 = picture(ZoneLeft, "Image1", QStringLiteral(":/kestrel/banner.png"), pxRect(480, 600, 2130, 675));
    Image1->setAccessibleName(core::kDisplayName + QStringLiteral(", mise à jour"));
    setTabOrder(CmdUpdate, BrowserUpdate);
}

void FrmUpdate::Form_Load()
{
    ShowStepStarted();
}

void FrmUpdate::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    CmdUpdate->setFocus(Qt::ActiveWindowFocusReason);
    if (const QScreen *screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void FrmUpdate::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void FrmUpdate::closeEvent(QCloseEvent *event)
{
    const bool stepRunning = m_stepRunning && m_context.currentStep >= 1 && m_context.currentStep <= 4;
    // The installation and the cleanup end on their own: an application folder is never left
    // between two versions, so the window stays until they are done or undone.
    if (stepRunning && m_context.currentStep >= 3) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
    // Closed while the version is asked for or the package arrives: nothing has changed yet,
    // and nothing of the update may go on unseen afterwards.
    if (event->isAccepted() && stepRunning) {
        if (m_context.currentStep == 2)
            m_download->CancelDownload();
        m_services.programEnd->endProgram();
    }
}

void FrmUpdate::Form_Resize()
{
    // A minimized window has no client area to lay out.
    if (isMinimized())
        return;
    // Widths are measured on the client area: measured on the outer width, the right pane
    // would slide under the left one by the frame's width and hide the status text's start.
    const int frameHeight = frameGeometry().height() - height();
    // The minimum height is the outer height's: the client area's is smaller by the title bar.
    setMinimumHeight(std::max(0, px(kMinWindowHeight) - frameHeight));
    const WindowLayout layout = computeWindowLayout(
        static_cast<float>(width()) * kTwipsPerPixel,
        static_cast<float>(frameGeometry().height()) * kTwipsPerPixel, 0,
        static_cast<float>(frameHeight) * kTwipsPerPixel);
    const QSize wanted(px(layout.windowWidth), px(layout.windowHeight) - frameHeight);
    if (wanted != size()) {
        resize(wanted); // arrives here again at the corrected size
        return;
    }
    ZoneRight->setGeometry(pxRect(layout.zoneRight));
    ZoneLeft->setGeometry(0, 0, ZoneLeft->width(), height());
    ZoneBouton->setGeometry(pxRect(layout.zoneBouton));
    CmdUpdate->setGeometry(pxRect(layout.cmdUpdate));
    PBarUpdate->setGeometry(pxRect(layout.pbarUpdate));
    LblInfo->setGeometry(pxRect(layout.lblInfo));
    BrowserUpdate->setGeometry(pxRect(layout.browserUpdate));
    fitStatusText();
}

void FrmUpdate::fitStatusText()
{
    // The closing text has three lines where the label has room for two: the label then
    // grows and the progress bar moves below it, inside the bottom pane.
    const int ruleHeight = px(kStatusHeight);
    const QMargins margins = LblInfo->contentsMargins();
    const int needed = LblInfo->fontMetrics()
                           .boundingRect(QRect(0, 0, LblInfo->contentsRect().width(), 10000),
                                         Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, LblInfo->text())
                           .height()
        + margins.top() + margins.bottom();
    const int height = std::max(ruleHeight, needed);
    LblInfo->resize(LblInfo->width(), height);
    const int barTop = height > ruleHeight ? height + 2 : ruleHeight;
    PBarUpdate->move(PBarUpdate->x(), barTop);
    // In a narrow window the text may need more lines than the bottom pane holds: the pane then
    // grows upwards over the browser rather than let the text run under the bar.
    const int paneHeight = std::max(px(kZoneBoutonHeight), barTop + PBarUpdate->height() + px(kBarBottomMargin));
    ZoneBouton->setGeometry(0, ZoneRight->height() - paneHeight, ZoneRight->width(), paneHeight);
    BrowserUpdate->resize(BrowserUpdate->width(), ZoneBouton->y());
}

void FrmUpdate::setStatusText(const QString &text)
{
    LblInfo->setText(text);
    fitStatusText();
    QAccessibleEvent changed(LblInfo, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&changed);
}

void FrmUpdate::CmdUpdate_Click()
{
    if (CmdUpdate->text() == finishCaption()) {
        m_services.programEnd->endProgram();
        return;
    }
    CmdUpdate->setEnabled(false);
    m_stepRunning = true;
    ShowStepStarted();
    bool success = false;
    switch (m_context.currentStep) {
    case 1:
        success = CheckPrerequisites();
        enableActionButton();
        break;
    case 2:
        success = StartDownload();
        break;
    case 3:
        success = StartInstall();
        enableActionButton();
        break;
    case 4:
        success = CleanTemporaryFiles();
        enableActionButton();
        break;
    default:
        break;
    }
    if (success) {
        ShowStepCompleted();
        TriggerNextStep();
    }
}

void FrmUpdate::TriggerNextStep()
{
    if (m_context.currentStep == 5)
        return;
    ++m_context.currentStep;
    if (m_context.currentStep >= 2 && m_context.currentStep <= 4)
        CmdUpdate_Click();
}

void FrmUpdate::ShowStepStarted()
{
    const int step = m_context.currentStep;
    if (step == 0) {
        setStatusText(QString());
        ShowWelcomePage();
        CmdUpdate->setText(startCaption());
    } else if (step >= 1 && step <= 4) {
        setStatusText(stepTexts()[step - 1].startText);
    }
    if (step >= 1 && step <= 5)
        setStepIcon(step - 1, imgStart);
}

void FrmUpdate::ShowStepCompleted()
{
    const int step = m_context.currentStep;
    if (step >= 1 && step <= 3) {
        setStatusText(LblInfo->text() + core::CRLF + stepTexts()[step - 1].doneLine);
        CmdUpdate->setText(stepTexts()[step - 1].nextCaption);
    } else if (step == 4) {
        setStatusText(closingStatusText(core::kDisplayName, m_context.latestVersion));
        CmdUpdate->setText(finishCaption());
        setStepIcon(4, imgDone);
        m_services.messageBoxes->show(succeededText() + core::SupportContactText(), QStringLiteral("Mise à jour"),
                                      platform::BoxIcon::Information, platform::BoxButtons::Ok);
    }
    if (step >= 1 && step <= 5)
        setStepIcon(step - 1, imgDone);
}

void FrmUpdate::enableActionButton()
{
    m_stepRunning = false;
    CmdUpdate->setEnabled(true);
    // Disabling the button moved the keyboard focus away; the next action is here again.
    if (isActiveWindow() || QApplication::focusWidget() == nullptr || isAncestorOf(QApplication::focusWidget()))
        CmdUpdate->setFocus(Qt::OtherFocusReason);
}

void FrmUpdate::setStepIcon(int index, const QLabel *state)
{
    imgEtape[index]->setPixmap(state->pixmap());
    imgEtape[index]->setAccessibleName(stepTexts()[index].name + QStringLiteral(" : ") + state->accessibleName());
}

void FrmUpdate::ShowWelcomePage()
{
    ShowPage(*m_browserView, *m_pump,
             [this] { return WelcomePageText(core::kDisplayName, 5, core::configuredSupportContacts()); });
}

bool FrmUpdate::CheckPrerequisites()
{
    return prerequisites::CheckPrerequisites(*this);
}

bool FrmUpdate::StartDownload()
{
    return m_download->StartDownload();
}

bool FrmUpdate::StartInstall()
{
    return install::steps::StartInstall(*this, m_earlyStaging.get());
}

bool FrmUpdate::CleanTemporaryFiles()
{
    return install::steps::CleanTemporaryFiles(*this);
}

void FrmUpdate::grbDownload_DownloadProgress(float Progress)
{
    m_download->grbDownload_DownloadProgress(Progress);
}

void FrmUpdate::grbDownload_DownloadComplete(qint32 BytesReceived)
{
    m_download->grbDownload_DownloadComplete(BytesReceived);
}

void FrmUpdate::grbDownload_DownloadFailed(qint32 ErrorNumber, const QString &ErrorDescription)
{
    m_download->grbDownload_DownloadFailed(ErrorNumber, ErrorDescription);
}

} // namespace kestrel::wizard
