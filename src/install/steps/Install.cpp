#include "install/steps/Install.h"

#include "core/Paths.h"
#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "install/PackageInstaller.h"
#include "install/steps/EarlyStaging.h"
#include "platform/EventPump.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgressBar.h"

#include <QElapsedTimer>

#include <exception>

namespace kestrel::install::steps {

namespace {

const QString kTitle = QStringLiteral("Installation de la mise à jour");
// The window is given its events at least this often while the package is written.
constexpr qint64 kPumpIntervalMs = 20;

// Moves the window's progress bar and keeps the window alive while the package is written.
class StepObserver final : public install::InstallObserver {
public:
    explicit StepObserver(core::StepHost &host) : m_host(host) { m_sincePump.start(); }

    void started(std::size_t topLevelCount) override
    {
        platform::ProgressBar &bar = m_host.progressBar();
        bar.setMin(0.0F);
        bar.setMax(static_cast<float>(topLevelCount));
        bar.setValue(0.0F);
        pump();
    }

    void topLevelStaged(std::size_t count) override
    {
        m_host.progressBar().setValue(static_cast<float>(count));
        busy();
    }

    void busy() override
    {
        if (m_sincePump.elapsed() >= kPumpIntervalMs)
            pump();
    }

    void pump()
    {
        m_host.eventPump().processPendingEvents();
        m_sincePump.restart();
    }

private:
    core::StepHost &m_host;
    QElapsedTimer m_sincePump;
};

void showFailure(core::StepHost &host, const QString &description)
{
    host.messageBoxes().show(
        QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : ") + core::CRLF + description
            + core::SupportContactText(),
        kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
}

} // namespace

bool StartInstall(core::StepHost &host, EarlyStaging *early)
{
    return InstallPackage(host, host.context().packagePath, host.context().appFolder, early);
}

bool InstallPackage(core::StepHost &host, QString packagePath, QString targetFolder, EarlyStaging *early)
{
    install::InstallResult result;
    try {
        StepObserver observer(host);
        result = install::installPackage(core::toPath(packagePath), core::toPath(targetFolder), observer,
                                         early ? &early->package() : nullptr);
        observer.pump();
    } catch (const std::exception &) {
        result = {install::InstallOutcome::Failed, "Erreur interne inattendue pendant l'installation."};
    }
    switch (result.outcome) {
    case install::InstallOutcome::Installed:
        return true;
    case install::InstallOutcome::CannotOpen:
        host.messageBoxes().show(QStringLiteral("Impossible d'ouvrir le fichier d'installation.") + core::SupportContactText(),
                                 kTitle, platform::BoxIcon::Critical, platform::BoxButtons::Ok);
        return false;
    case install::InstallOutcome::Failed:
        break;
    }
    showFailure(host, QString::fromStdString(result.description));
    return false;
}

} // namespace kestrel::install::steps
