#include "startup/FirstPaint.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

long long g_mainNs = 0;

} // namespace

void FirstPaintReporter::mainEntered()
{
    g_mainNs = monotonicNs();
}

FirstPaintReporter::FirstPaintReporter()
{
    QCoreApplication::instance()->installEventFilter(this);
}

bool FirstPaintReporter::eventFilter(QObject *watched, QEvent *event)
{
    if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()
        && static_cast<QWidget *>(watched)->isWindow()) {
        m_seen = true;
        const long long paint = monotonicNs();
        std::printf("main_ns=%lld\nfirst_paint_ns=%lld\n", g_mainNs, paint);
        // Runs once the repaint that delivered this event, children and flush included, is over.
        QTimer::singleShot(0, [] {
            std::printf("frame_done_ns=%lld\n", monotonicNs());
            std::fflush(stdout);
            std::_Exit(0);
        });
    }
    return false;
}
