// Demo driver: runs the real update wizard window against a given update service, clicks
// its action button, answers every message box with its default button, saves screenshots
// of each stage and reports what the user would have seen.
//
//   kestrel_demo_driver --base-url URL [--ca PEM] --program-folder DIR --screenshots DIR
//
// Exit status 0 only when the update went through to "Terminer".

#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "wizard/Application.h"
#include "wizard/FrmUpdate.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSslCertificate>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

using namespace kestrel;

const QString kFinishCaption = QStringLiteral("Terminer");
constexpr int kMaxBoxes = 20;

void say(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString indented(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return QStringLiteral("    ") + text.replace(QLatin1Char('\n'), QLatin1String("\n    "));
}

// "Application en cours d'exécution" -> "application-en-cours-d-execution"
QString slug(const QString &text)
{
    QString out;
    for (const QChar c : text.normalized(QString::NormalizationForm_D).toLower()) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            out += c;
        else if (c.category() != QChar::Mark_NonSpacing && !out.endsWith(QLatin1Char('-')))
            out += QLatin1Char('-');
    }
    while (out.endsWith(QLatin1Char('-')))
        out.chop(1);
    return out;
}

class Driver : public QObject {
public:
    Driver(wizard::FrmUpdate &window, QString screenshots) : m_window(window), m_folder(std::move(screenshots))
    {
        m_button = window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
        m_info = window.findChild<QLabel *>(QStringLiteral("LblInfo"));
        m_bar = window.findChild<QProgressBar *>(QStringLiteral("PBarUpdate"));
        if (!m_button || !m_info || !m_bar) {
            say(QStringLiteral("error: the window has no CmdUpdate, LblInfo or PBarUpdate"));
            std::exit(2);
        }
        connect(m_bar, &QProgressBar::valueChanged, this, [this] { onProgress(); });
        m_poll.setInterval(50);
        connect(&m_poll, &QTimer::timeout, this, [this] { poll(); });
    }

    void start()
    {
        m_window.show();
        QTimer::singleShot(200, this, [this] {
            reportStatus();
            screenshot(QStringLiteral("start"), windowImage());
            say(QStringLiteral("click: %1").arg(m_button->text()));
            m_clicked = true;
            m_poll.start();
            m_button->click();
        });
    }

    // The program's end, asked by the wizard (the click on "Terminer", or a step that ends it).
    [[noreturn]] void programEnded()
    {
        reportStatus();
        const bool completed = m_finishClicked && m_successBox;
        say(completed ? QStringLiteral("result: the update completed")
                      : QStringLiteral("result: the wizard ended the program before the update completed"));
        m_window.close();
        std::fflush(nullptr);
        // As the wizard's own end does: nothing of the click handler may run after it.
        std::_Exit(completed ? 0 : 1);
    }

    [[noreturn]] void giveUp(const QString &why)
    {
        reportStatus();
        screenshot(QStringLiteral("gave-up"), windowImage());
        say(QStringLiteral("result: %1").arg(why));
        std::fflush(nullptr);
        std::_Exit(1);
    }

private:
    void poll()
    {
        reportStatus();
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            answer(box);
            return;
        }
        if (!m_clicked || !m_button->isEnabled() || QApplication::activeModalWidget())
            return;
        // The button is enabled only when the wizard waits for the user.
        if (m_button->text() == kFinishCaption) {
            m_poll.stop();
            screenshot(QStringLiteral("finished"), windowImage());
            m_finishClicked = true;
            say(QStringLiteral("click: %1").arg(m_button->text()));
            m_button->click();
            giveUp(QStringLiteral("\"Terminer\" did not end the program"));
        }
        giveUp(QStringLiteral("the update stopped at \"%1\"; it did not complete").arg(m_button->text()));
    }

    void answer(QMessageBox *box)
    {
        if (m_answered.contains(box))
            return;
        m_answered.append(box);
        ++m_boxes;
        const bool information = box->icon() == QMessageBox::Information;
        say(QStringLiteral("box %1 (%2): %3").arg(m_boxes).arg(information ? QStringLiteral("information")
                                                                           : QStringLiteral("error"),
                                                              box->windowTitle()));
        say(indented(box->text()));
        if (information && box->windowTitle() == QStringLiteral("Mise à jour")
            && m_button->text() == kFinishCaption)
            m_successBox = true;
        const QString name = QStringLiteral("box-%1").arg(slug(box->windowTitle()));
        screenshot(name, box->grab().toImage());
        screenshot(name + QStringLiteral("-screen"), screenImage(*box));

        QAbstractButton *button = box->defaultButton();
        // A box that keeps coming back (the application never closes) is given up on.
        if (m_boxes > kMaxBoxes && box->escapeButton())
            button = box->escapeButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().first();
        say(QStringLiteral("    answer: %1").arg(button ? button->text().remove(QLatin1Char('&')) : QString()));
        if (button)
            button->click();
        else
            box->reject();
    }

    void onProgress()
    {
        reportStatus();
        if (m_downloadShot || !m_info->text().startsWith(QStringLiteral("Téléchargement")))
            return;
        if (m_bar->value() > m_bar->minimum() && m_bar->value() < m_bar->maximum()) {
            m_downloadShot = true;
            screenshot(QStringLiteral("download"), windowImage());
        }
    }

    void reportStatus()
    {
        const QString status = m_info->text();
        if (status == m_lastStatus)
            return;
        m_lastStatus = status;
        if (!status.isEmpty())
            say(QStringLiteral("status:\n%1").arg(indented(status)));
    }

    QImage windowImage() { return m_window.grab().toImage(); }

    // The screen around the window and the box, so that the box is seen over the window.
    QImage screenImage(const QWidget &box)
    {
        QScreen *screen = m_window.screen();
        const QImage image = screen ? screen->grabWindow(0).toImage() : QImage();
        if (image.isNull() || image.width() < 2)
            return windowImage();
        const QRect area = m_window.frameGeometry().united(box.frameGeometry()).translated(-screen->geometry().topLeft());
        return image.copy(area.intersected(image.rect()));
    }

    void screenshot(const QString &what, const QImage &image)
    {
        if (m_folder.isEmpty())
            return;
        const QString path =
            QDir(m_folder).filePath(QStringLiteral("%1-%2.png").arg(++m_shots, 2, 10, QLatin1Char('0')).arg(what));
        if (image.save(path))
            say(QStringLiteral("screenshot: %1").arg(path));
        else
            say(QStringLiteral("warning: could not save %1").arg(path));
    }

    wizard::FrmUpdate &m_window;
    QString m_folder;
    QPushButton *m_button = nullptr;
    QLabel *m_info = nullptr;
    QProgressBar *m_bar = nullptr;
    QTimer m_poll;
    QList<QPointer<QMessageBox>> m_answered;
    QString m_lastStatus;
    int m_shots = 0;
    int m_boxes = 0;
    bool m_clicked = false;
    bool m_downloadShot = false;
    bool m_successBox = false;
    bool m_finishClicked = false;
};

class DriverProgramEnd final : public platform::ProgramEnd {
public:
    void setDriver(Driver *driver) { m_driver = driver; }
    void endProgram() override
    {
        if (m_driver)
            m_driver->programEnded();
        std::_Exit(1);
    }

private:
    Driver *m_driver = nullptr;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    platform::prepareApplication(app);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the Kestrel 11 update wizard against an update service, clicks through it,\n"
        "answers each message box with its default button and saves screenshots.\n"
        "Exits with 0 only when the update completed."));
    parser.addHelpOption();
    const QCommandLineOption baseUrl(QStringLiteral("base-url"),
                                     QStringLiteral("Update service base address, ending in /vb6/v1/softwares/."),
                                     QStringLiteral("url"), platform::configuredServiceBaseUrl());
    const QCommandLineOption ca(QStringLiteral("ca"),
                                QStringLiteral("PEM file of the certificates the service must chain to "
                                               "(default: the build's own)."),
                                QStringLiteral("pem"));
    const QCommandLineOption folder(QStringLiteral("program-folder"),
                                    QStringLiteral("The application folder the wizard runs in."),
                                    QStringLiteral("dir"));
    const QCommandLineOption screenshots(QStringLiteral("screenshots"),
                                         QStringLiteral("Folder for the PNG screenshots (created)."),
                                         QStringLiteral("dir"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Give up after this many seconds (default 600)."),
                                     QStringLiteral("seconds"), QStringLiteral("600"));
    parser.addOptions({baseUrl, ca, folder, screenshots, timeout});
    parser.process(app);

    if (!parser.isSet(folder)) {
        say(QStringLiteral("error: --program-folder is required"));
        return 2;
    }
    platform::HttpSettings http = platform::configuredHttpSettings();
    if (parser.isSet(ca)) {
        http.trustedCa = QSslCertificate::fromPath(parser.value(ca), QSsl::Pem);
        if (http.trustedCa.isEmpty()) {
            say(QStringLiteral("error: no certificate in %1").arg(parser.value(ca)));
            return 2;
        }
    }
    const QString shots = parser.value(screenshots);
    if (!shots.isEmpty() && !QDir().mkpath(shots)) {
        say(QStringLiteral("error: cannot create %1").arg(shots));
        return 2;
    }

    QNetworkAccessManager network;
    wizard::QtMessageBoxes boxes;
    DriverProgramEnd programEnd;
    wizard::WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &programEnd;
    services.updateService = {&network, parser.value(baseUrl), http, platform::configuredPackagePublicKey()};
    services.programFolder = QDir(parser.value(folder)).absolutePath();
    say(QStringLiteral("service: %1").arg(services.updateService.baseUrl));
    say(QStringLiteral("application folder: %1").arg(services.programFolder));

    wizard::FrmUpdate window(services);
    boxes.setParent(&window);
    Driver driver(window, shots);
    programEnd.setDriver(&driver);

    bool ok = false;
    const int seconds = parser.value(timeout).toInt(&ok);
    QTimer::singleShot(std::chrono::seconds(ok && seconds > 0 ? seconds : 600), &driver, [&driver] {
        driver.giveUp(QStringLiteral("no end after the time limit"));
    });
    driver.start();
    app.exec();
    // Closing the window by other means than the wizard's own end.
    say(QStringLiteral("result: the window was closed before the update completed"));
    return 1;
}
