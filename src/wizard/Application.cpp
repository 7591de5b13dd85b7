#include "Application.h"

#include "FrmUpdate.h"
#include "FileSystem.h"
#include "MessageBoxes.h"
#include "ProgramEnd.h"

#include <QApplication>
#include <QNetworkAccessManager>

namespace kestrel {

int runWizard(QApplication &app)
{
    QNetworkAccessManager network;
    QtMessageBoxes boxes;
    QtProgramEnd programEnd;

    WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &programEnd;
    services.updateService = {&network, configuredServiceBaseUrl(), configuredHttpSettings(),
                              configuredPackagePublicKey()};
    services.programFolder = QString::fromStdString(platform::programFolder());

    FrmUpdate window(services);
    boxes.setParent(&window);
    programEnd.setWindow(&window);
    window.show();
    return app.exec();
}

} // namespace kestrel
