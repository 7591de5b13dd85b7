#pragma once

#include "EventPump.h"
#include "FolderLock.h"
#include "Https.h"
#include "PackageFile.h"
#include "ProgressBar.h"
#include "StepHost.h"
#include "UpdateContext.h"
#include "WelcomePage.h"

#include <QWidget>

#include <array>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTextBrowser;

namespace kestrel {

class MessageBoxes;
class NetGrab;
class ProxyCredentials;
class ProgramEnd;

// What the window is given: the platform services it uses and the update service.
struct WizardServices {
    MessageBoxes *messageBoxes = nullptr;
    ProgramEnd *programEnd = nullptr;
    EventPump *eventPump = nullptr; // null: Qt's own event processing
    UpdateService updateService;
    // The folder of the wizard's executable as the system reports it.
    QString programFolder;
    ProxyCredentials *proxyCredentials = nullptr; // null: a proxy's challenges go unanswered
};

// The wizard's only window: the controls, the update context and the step controller.
class FrmUpdate : public QWidget, public StepHost {
    Q_OBJECT
public:
    explicit FrmUpdate(WizardServices services, QWidget *parent = nullptr);
    ~FrmUpdate() override;

    // StepHost
    UpdateContext &context() override { return m_context; }
    ProgressBar &progressBar() override { return *m_progress; }
    MessageBoxes &messageBoxes() override { return *m_services.messageBoxes; }
    EventPump &eventPump() override { return *m_pump; }
    ProgramEnd &programEnd() override { return *m_services.programEnd; }
    const UpdateService &updateService() override { return m_services.updateService; }
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
    UpdateContext m_context;
    QtEventPump m_qtPump;
    EventPump *m_pump;
    std::unique_ptr<HtmlView> m_browserView;
    std::unique_ptr<QtProgressBar> m_progress;
    bool m_centred = false;
    platform::PackageFile m_package; // the package being downloaded
    platform::FolderLock m_folderLock;  // one wizard per application folder, for the window's life

    // Controls, in the order they are created.
    NetGrab *grbDownloadControl = nullptr;
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

} // namespace kestrel
