// Where the Update program's start-up time goes: the steps of its main and of runWizard,
// repeated here one by one with a timestamp after each (process start taken from the
// parent's clock as for bench_startup, given as the first argument in nanoseconds).
#include "os/FileSystem.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "wizard/Application.h"
#include "wizard/FrmUpdate.h"

#include <QApplication>
#include <QEvent>
#include <QNetworkAccessManager>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

long long g_start = 0;

void stamp(const char *what)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    std::printf("%-40s %8.1f ms\n", what, static_cast<double>(ns - g_start) / 1e6);
}

class PaintWatch : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType() && static_cast<QWidget *>(watched)->isWindow()) {
            stamp("first paint event of the window");
            QTimer::singleShot(0, [] {
                stamp("end of the event that painted it");
                std::fflush(stdout);
                std::_Exit(0);
            });
            watched->removeEventFilter(this);
        }
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    g_start = argc > 1 ? std::atoll(argv[1]) : 0;
    stamp("main entered");
    QApplication app(argc, argv);
    stamp("QApplication constructed");
    kestrel::platform::prepareApplication(app);
    stamp("prepareApplication");
    QNetworkAccessManager network;
    stamp("QNetworkAccessManager");
    kestrel::wizard::QtMessageBoxes boxes;
    kestrel::wizard::QtProgramEnd programEnd;
    kestrel::wizard::WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &programEnd;
    services.updateService = {&network, kestrel::platform::configuredServiceBaseUrl(), kestrel::platform::configuredHttpSettings(), {}};
    stamp("configured service settings");
    services.programFolder = QString::fromStdString(kestrel::os::programFolder());
    kestrel::wizard::FrmUpdate window(services);
    stamp("FrmUpdate constructed");
    PaintWatch watch;
    window.installEventFilter(&watch);
    window.show();
    stamp("show() returned");
    return app.exec();
}
