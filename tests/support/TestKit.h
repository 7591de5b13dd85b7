#pragma once

// Waiting on the event loop, a clock the test moves, a port where nothing listens, and test bodies.

#include "platform/Clock.h"

#include <QByteArray>

#include <chrono>
#include <functional>

namespace kestrel::test {

// Processes events until done() holds or the limit passes; answers done().
bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Stands still until the test moves it; a move is seen at once by every limit that reads it.
class ManualClock final : public platform::Clock {
public:
    std::chrono::milliseconds now() const override { return m_now; }
    void advance(std::chrono::milliseconds by)
    {
        m_now += by;
        emit moved();
    }

private:
    std::chrono::milliseconds m_now{0};
};

// Processes events for a while, for checks that something does not happen.
void settle(std::chrono::milliseconds span = std::chrono::milliseconds(300));

// A port on 127.0.0.1 where nothing listens.
quint16 closedPort();

// A body whose bytes differ by position, so a shifted or repeated piece shows.
QByteArray patternBytes(qsizetype size, char salt = 0);

} // namespace kestrel::test
