#include "support/TestKit.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>

namespace kestrel::test {

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    for (QDeadlineTimer deadline(limit); !done() && !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    return done();
}

void settle(std::chrono::milliseconds span)
{
    waitUntil([] { return false; }, span);
}

quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when probe goes
}

QByteArray patternBytes(qsizetype size, char salt)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + i / 251 + salt) & 0xff);
    return bytes;
}

} // namespace kestrel::test
