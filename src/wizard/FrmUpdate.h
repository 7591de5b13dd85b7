#pragma once

#include "core/StepHost.h"
#include "core/UpdateContext.h"
#include "platform/EventPump.h"
#include "platform/Https.h"
#include "wizard/QtSeams.h"
#include "wizard/WelcomePage.h"

#include <QWidget>

#include <array>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;

namespace kestrel::platform {
class MessageBoxes;
class ProgramEnd;
class ProxyCredentials;
}
namespace kestrel::download {
class DownloadStep;
class NetGrab;
}
namespace kestrel::os {
class FolderLock;
}
namespace kestrel::install::steps {
class EarlyStaging;
}

namespace kestrel::wizard {

// What the window is given: the platform services it uses and the update service.
struct WizardServices {
    platform::MessageBoxes *messageBoxes = nullptr;
    platform::ProgramEnd *programEnd = nullptr;
    platform::EventPump *eventPump = nullptr; // null: Qt's own event processing
    platform::UpdateService updateService;
    // The folder of the wizard's executable as the system reports it.
    QString programFolder;
    platform::ProxyCredentials *proxyCredentials = nullptr; // null: a proxy's challenges go unanswered
};

// The wizard's only window: the controls, the update context and the step controller.
class FrmUpdate : public QWidget, public core::StepHost {
    Q_OBJECT
public:
    explicit FrmUpdate(WizardServices services, QWidget *parent = nullptr);
    ~FrmUpdate() override;

    // StepHost
    core::UpdateContext &context() override { return m_context; }
    platform::ProgressBar &progressBar() override { return *m_progress; }
    platform::MessageBoxes &messageBoxes() override { return *m_services.messageBoxes; }
    platform::EventPump &eventPump() override { return *m_pump; }
    platform::ProgramEnd &programEnd() override { return *m_services.programEnd; }
    const platform::UpdateService &updateService() override { return m_services.updateService; }
    void ShowStepCompleted() override;
    void TriggerNextStep() override;
    void enableActionButton() override;

    void CmdUpdate_Click();
    void ShowStepStarted();
    void ShowWelcomePage();

protected:
    // The step procedures; each delegates to its subsystem.
    virtual bool CheckPrerequisites();
    virtual bool StartDownload();
    virtual bool StartInstall();
    virtual bool CleanTemporaryFiles();

    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void Form_Initialize();
    void Form_Load();
    void Form_Resize();
    void createControls();
    void setStatusText(const QString &text);
    void fitStatusText();
    void setStepIcon(int index, const QLabel *state);

    void grbDownload_DownloadProgress(float Progress);
    void grbDownload_DownloadComplete(qint32 BytesReceived);
    void grbDownload_DownloadFailed(qint32 ErrorNumber, const QString &ErrorDescription);

    WizardServices m_services;
    core::UpdateContext m_context;
    platform::QtEventPump m_qtPump;
    platform::EventPump *m_pump;
    std::unique_ptr<HtmlView> m_browserView;
    std::unique_ptr<QtProgressBar> m_progress;
    bool m_centred = false;
    bool m_stepRunning = false; // from a click until its step has ended, here or in a download handler
    std::unique_ptr<install::steps::EarlyStaging> m_earlyStaging; // step 3 begun as step 2's bytes arrive
    std::unique_ptr<download::DownloadStep> m_download;
    std::unique_ptr<os::FolderLock> m_folderLock; // one wizard per application folder, for the window's life

    // Controls, in the order they are created.
    download::NetGrab *grbDownloadControl = nullptr;
    QWidget *ZoneRight = nullptr;
    QTextBrowser *BrowserUpdate = nullptr;
    QWidget *ZoneBouton = nullptr;
    QPushButton *CmdUpdate = nullptr;
    QProgressBar *PBarUpdate = nullptr;
    QLabel *LblInfo = nullptr;
    QWidget *ZoneLeft = nullptr;
    QLabel *imgInit = nullptr;
    std::array<QLabel *, 5> imgEtape{};
    QLabel *imgStart = nullptr;
    QLabel *imgDone = nullptr;
    std::array<QLabel *, 5> lblEtape{};
    QLabel *Image1 = nullptr;
};

} // namespace kestrel::wizard
