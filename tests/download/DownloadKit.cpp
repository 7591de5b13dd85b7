#include "DownloadKit.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>

namespace kestrel::test {

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    QDeadlineTimer deadline(limit);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    return done();
}

void settle(std::chrono::milliseconds span)
{
    QDeadlineTimer deadline(span);
    while (!deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
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

GrabHarness::GrabHarness(HttpSettings base) : settings(std::move(base))
{
    settings.trustedCa = TestHttpsServer::caCertificates();
    grab = std::make_unique<NetGrab>(network, settings);
    QObject::connect(grab.get(), &NetGrab::DownloadProgress, grab.get(),
                     [this](float p) { events.push_back({GrabEvent::Progress, p, 0, QString()}); });
    QObject::connect(grab.get(), &NetGrab::DownloadComplete, grab.get(),
                     [this](qint32 n) { events.push_back({GrabEvent::Complete, 0.0F, n, QString()}); });
    QObject::connect(grab.get(), &NetGrab::DownloadFailed, grab.get(), [this](qint32 n, const QString &d) {
        events.push_back({GrabEvent::Failed, 0.0F, n, d});
    });
}

void GrabHarness::fetch(const QString &path)
{
    events.clear();
    grab->DownloadStart(url(path));
    waitUntil([this] { return ended(); });
}

bool GrabHarness::ended() const
{
    for (const GrabEvent &e : events) {
        if (e.kind != GrabEvent::Progress)
            return true;
    }
    return false;
}

std::vector<float> GrabHarness::progressValues() const
{
    std::vector<float> values;
    for (const GrabEvent &e : events) {
        if (e.kind == GrabEvent::Progress)
            values.push_back(e.progress);
    }
    return values;
}

const GrabEvent *GrabHarness::lastFailure() const
{
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        if (it->kind == GrabEvent::Failed)
            return &*it;
    }
    return nullptr;
}

} // namespace kestrel::test
