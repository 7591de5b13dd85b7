#include "wizard/Application.h"

#include "os/FileSystem.h"
#include "platform/MessageBoxes.h"
#include "wizard/FrmUpdate.h"
#include "wizard/QtSeams.h"
#include "platform/ProxyAccess.h"

#include <QApplication>
#include <QNetworkAccessManager>

namespace kestrel::wizard {

int runWizard(QApplication &app)
{
    QNetworkAccessManager network;
    platform::useSystemProxy(network);
    QtMessageBoxes boxes;
    QtProgramEnd programEnd;
    QtProxyCredentials proxyCredentials;

    WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &programEnd;
    services.proxyCredentials = &proxyCredentials;
    services.updateService = {&network, platform::configuredServiceBaseUrl(), platform::configuredHttpSettings(),
                              platform::configuredPackagePublicKey()};
    services.programFolder = QString::fromStdString(os::programFolder());

    FrmUpdate window(services);
    boxes.setParent(&window);
    proxyCredentials.setParent(&window);
    programEnd.setWindow(&window);
    window.show();
    return app.exec();
}

} // namespace kestrel::wizard
