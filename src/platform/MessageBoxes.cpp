#include "MessageBoxes.h"

#include <QMessageBox>
#include <QPushButton>

namespace kestrel {

BoxAnswer QtMessageBoxes::show(const QString &text, const QString &title, BoxIcon icon,
                               BoxButtons buttons)
{
    QMessageBox box(icon == BoxIcon::Critical ? QMessageBox::Critical : QMessageBox::Information,
                    title, QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")),
                    QMessageBox::NoButton, m_parent);
    box.setObjectName(QStringLiteral("KestrelMessageBox"));
    box.setTextFormat(Qt::PlainText);
    if (buttons == BoxButtons::Ok) {
        box.setStandardButtons(QMessageBox::Ok);
        box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
        box.setDefaultButton(QMessageBox::Ok);
        box.exec();
        return BoxAnswer::Ok;
    }
    box.setStandardButtons(QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);
    box.button(QMessageBox::Abort)->setText(QStringLiteral("&Abandonner"));
    box.button(QMessageBox::Retry)->setText(QStringLiteral("&Réessayer"));
    box.button(QMessageBox::Ignore)->setText(QStringLiteral("&Ignorer"));
    // Retry is the answer that lets the update go on once the application is closed.
    box.setDefaultButton(QMessageBox::Retry);
    box.setEscapeButton(QMessageBox::Abort);
    switch (box.exec()) {
    case QMessageBox::Retry:
        return BoxAnswer::Retry;
    case QMessageBox::Ignore:
        return BoxAnswer::Ignore;
    default:
        return BoxAnswer::Abort;
    }
}

} // namespace kestrel
