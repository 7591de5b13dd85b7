#pragma once

// Waiting on the event loop, a port where nothing listens, and test bodies.

#include <QByteArray>

#include <chrono>
#include <functional>

namespace kestrel::test {

// Processes events until done() holds or the limit passes; answers done().
bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Processes events for a while, for checks that something does not happen.
void settle(std::chrono::milliseconds span = std::chrono::milliseconds(300));

// A port on 127.0.0.1 where nothing listens.
quint16 closedPort();

// A body whose bytes differ by position, so a shifted or repeated piece shows.
QByteArray patternBytes(qsizetype size, char salt = 0);

} // namespace kestrel::test
