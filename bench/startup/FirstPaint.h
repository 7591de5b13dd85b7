#pragma once

#include <QObject>

// Watches the whole application for the first paint of a top-level window, prints
//   main_ns=<CLOCK_MONOTONIC>          when main() was entered (see mainEntered)
//   first_paint_ns=<CLOCK_MONOTONIC>   when that window receives its first paint event
//   frame_done_ns=<CLOCK_MONOTONIC>    when the event that painted it (children included) is over
// on standard output and ends the process at once.
class FirstPaintReporter : public QObject {
public:
    FirstPaintReporter();
    // Called first thing in main(): what came before is the loading of the program and its libraries.
    static void mainEntered();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_seen = false;
};
