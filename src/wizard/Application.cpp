#include "Application.h"

#include "FrmUpdate.h"
#include "KestrelConfig.h"
#include "FileSystem.h"
#include "MessageBoxes.h"
#include "ProgramEnd.h"

#include <QApplication>
#include <QNetworkAccessManager>

namespace kestrel {

SupportContacts configuredSupportContacts()
{
    return {QString::fromUtf8(config::kSupportEmail), QString::fromUtf8(config::kSupportPhone),
            QString::fromUtf8(config::kSupportWebsite)};
}

int runWizard(QApplication &app)
{
    QNetworkAccessManager network;
    QtMessageBoxes boxes;
    QtProgramEnd programEnd;

    WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &programEnd;
    services.updateService = {&network, configuredServiceBaseUrl(), configuredHttpSettings()};
    services.programFolder = QString::fromStdString(platform::programFolder());
    services.contacts = configuredSupportContacts();

    FrmUpdate window(services);
    boxes.setParent(&window);
    programEnd.setWindow(&window);
    window.show();
    return app.exec();
}

} // namespace kestrel
