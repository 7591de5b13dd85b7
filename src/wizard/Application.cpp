#include "Application.h"

#include "FrmUpdate.h"
#include "FileSystem.h"
#include "MessageBoxes.h"
#include "ProgramEnd.h"
#include "ProxyAccess.h"

#include <QApplication>
#include <QNetworkAccessManager>

namespace kestrel {

int runWizard(QApplication &app)
{
    QNetworkAccessManager network;
    useSystemProxy(network);
    QtMessageBoxes boxes;
    QtProgramEnd programEnd;
    QtProxyCredentials proxyCredentials;

    WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &programEnd;
    services.proxyCredentials = &proxyCredentials;
    services.updateService = {&network, configuredServiceBaseUrl(), configuredHttpSettings(),
                              configuredPackagePublicKey()};
    services.programFolder = QString::fromStdString(platform::programFolder());

    FrmUpdate window(services);
    boxes.setParent(&window);
    proxyCredentials.setParent(&window);
    programEnd.setWindow(&window);
    window.show();
    return app.exec();
}

} // namespace kestrel
