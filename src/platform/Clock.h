#pragma once

#include <QObject>

#include <chrono>

namespace kestrel::platform {

// The monotonic time that the network time limits read: the steady clock of the system, or a
// clock that a test moves instead of waiting for a limit to pass.
class Clock : public QObject {
    Q_OBJECT
public:
    virtual std::chrono::milliseconds now() const = 0;

signals:
    // Raised by a clock that jumps, so that a limit it passed is looked at again at once.
    void moved();
};

// The system's steady clock; it never raises moved().
Clock &steadyClock();

} // namespace kestrel::platform
