#include "WizardHarness.h"

#include "Application.h"

namespace kestrel::test {

WizardFixture::WizardFixture()
{
    WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &end;
    services.eventPump = &pump;
    services.updateService.network = &network;
    services.updateService.baseUrl = QStringLiteral("https://127.0.0.1:9/vb6/v1/softwares/");
    services.programFolder = QStringLiteral("/opt/kestrel");
    window = std::make_unique<ScriptedWizard>(services);
}

QPushButton *WizardFixture::button() const
{
    return window->findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
}

QLabel *WizardFixture::status() const
{
    return window->findChild<QLabel *>(QStringLiteral("LblInfo"));
}

Icon WizardFixture::icon(int index) const
{
    const auto key = [this](const QString &name) {
        return window->findChild<QLabel *>(name)->pixmap().cacheKey();
    };
    const qint64 shown = key(QStringLiteral("imgEtape(%1)").arg(index));
    if (shown == key(QStringLiteral("imgInit")))
        return Icon::Pending;
    if (shown == key(QStringLiteral("imgStart")))
        return Icon::Running;
    if (shown == key(QStringLiteral("imgDone")))
        return Icon::Done;
    return Icon::Other;
}

std::vector<Icon> WizardFixture::icons() const
{
    std::vector<Icon> all;
    for (int i = 0; i < 5; ++i)
        all.push_back(icon(i));
    return all;
}

} // namespace kestrel::test
