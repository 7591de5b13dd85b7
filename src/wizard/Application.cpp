#include "Application.h"

#include "FrmUpdate.h"
#include "KestrelConfig.h"
#include "FileSystem.h"
#include "MessageBoxes.h"
#include "ProgramEnd.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QTranslator>

namespace kestrel {

SupportContacts configuredSupportContacts()
{
    return {QString::fromUtf8(config::kSupportEmail), QString::fromUtf8(config::kSupportPhone),
            QString::fromUtf8(config::kSupportWebsite)};
}

void prepareApplication(QApplication &app)
{
    QApplication::setApplicationName(QString::fromUtf8(config::kProductName));
    QApplication::setApplicationVersion(QString::fromUtf8(config::kVersion));
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));

    // Standard buttons and network error descriptions in French.
    // windeployqt ships the combined "qt" catalogue; Linux distributions ship "qtbase".
    auto *translator = new QTranslator(&app);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    for (const QString &name : {QStringLiteral("qt"), QStringLiteral("qtbase")}) {
        if (translator->load(QLocale(QLocale::French), name, QStringLiteral("_"), folder)) {
            QApplication::installTranslator(translator);
            break;
        }
    }
}

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
    services.contacts = configuredSupportContacts();

    FrmUpdate window(services);
    boxes.setParent(&window);
    programEnd.setWindow(&window);
    window.show();
    return app.exec();
}

} // namespace kestrel
