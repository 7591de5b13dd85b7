#include "wizard/QtSeams.h"

#include <QAccessible>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kestrel::wizard {

using platform::BoxAnswer;
using platform::BoxButtons;
using platform::BoxIcon;

namespace {
constexpr int kSteps = 10000;
}

platform::BoxAnswer QtMessageBoxes::show(const QString &text, const QString &title, platform::BoxIcon icon,
                               platform::BoxButtons buttons)
{
    QMessageBox box(icon == platform::BoxIcon::Critical ? QMessageBox::Critical : QMessageBox::Information,
                    title, QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")),
                    QMessageBox::NoButton, m_parent);
    box.setObjectName(QStringLiteral("KestrelMessageBox"));
    box.setTextFormat(Qt::PlainText);
    if (buttons == platform::BoxButtons::Ok) {
        box.setStandardButtons(QMessageBox::Ok);
        box.button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
        box.setDefaultButton(QMessageBox::Ok);
        box.exec();
        return platform::BoxAnswer::Ok;
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
        return platform::BoxAnswer::Retry;
    case QMessageBox::Ignore:
        return platform::BoxAnswer::Ignore;
    default:
        return platform::BoxAnswer::Abort;
    }
}

QtProgressBar::QtProgressBar(QProgressBar *bar) : m_bar(bar)
{
    m_bar->setRange(0, kSteps);
    m_bar->setTextVisible(false);
    render();
}

void QtProgressBar::render()
{
    const float span = max() - min();
    const int shown = span > 0.0F
        ? static_cast<int>(std::lround((value() - min()) / span * kSteps))
        : 0;
    // With a screen reader on, every change of the bar crosses the accessibility bridge to it: a
    // download's few hundred batches would each send one. A change within the same hundredth of
    // the bar is left out there; a reset to zero always shows.
    constexpr int kHundredth = kSteps / 100;
    if (shown != 0 && shown / kHundredth == m_bar->value() / kHundredth && QAccessible::isActive())
        return;
    m_bar->setValue(shown);
}

void QtProgramEnd::endProgram()
{
    if (m_window)
        m_window->close();
    std::fflush(nullptr);
    // Not exit(): the caller is deep inside a click handler and must not return into it.
    std::_Exit(0);
}

bool QtProxyCredentials::ask(const QString &proxy, QString &user, QString &password)
{
    QDialog dialog(m_parent);
    dialog.setObjectName(QStringLiteral("ProxyCredentials"));
    dialog.setWindowTitle(QStringLiteral("Serveur mandataire"));
    auto *form = new QFormLayout(&dialog);
    form->addRow(new QLabel(QStringLiteral("Le serveur mandataire (proxy) « %1 » demande une identification.").arg(proxy)));
    auto *userEdit = new QLineEdit(&dialog);
    auto *passwordEdit = new QLineEdit(&dialog);
    passwordEdit->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Nom d'utilisateur :"), userEdit);
    form->addRow(QStringLiteral("Mot de passe :"), passwordEdit);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Annuler"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    user = userEdit->text();
    password = passwordEdit->text();
    return true;
}

} // namespace kestrel::wizard
