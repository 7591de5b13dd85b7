#pragma once

// Waiting on the event loop, a clock the test moves, a closed port, test bodies; with the headers every test of Qt code uses.

#include "platform/Clock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

// Stands still until the test moves it; a move is seen at once by every limit that reads it.
class ManualClock final : public platform::Clock {
public:
    std::chrono::milliseconds now() const override { return m_now; }
    void advance(std::chrono::milliseconds by) { m_now += by, emit moved(); }

private:
    std::chrono::milliseconds m_now{0};
};

} // namespace kestrel::test

// Readable strings in GoogleTest's failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }
QT_END_NAMESPACE
