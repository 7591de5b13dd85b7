#include "platform/FrenchApplication.h"

#include "platform/KestrelConfig.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace kestrel::platform {

void prepareApplication(QCoreApplication &app)
{
    QCoreApplication::setApplicationName(QString::fromUtf8(config::kProductName));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(config::kVersion));
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));

    // windeployqt ships the combined "qt" catalogue; Linux distributions ship "qtbase".
    auto *translator = new QTranslator(&app);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    for (const QString &name : {QStringLiteral("qt"), QStringLiteral("qtbase")}) {
        if (translator->load(QLocale(QLocale::French), name, QStringLiteral("_"), folder)) {
            QCoreApplication::installTranslator(translator);
            break;
        }
    }
}

} // namespace kestrel::platform
