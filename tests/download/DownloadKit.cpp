#include "DownloadKit.h"

namespace kestrel::test {

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
                     [this](float p) { events.push_back({GrabEvent::Progress, p}); });
    QObject::connect(grab.get(), &NetGrab::DownloadComplete, grab.get(),
                     [this](qint32 n) { events.push_back({GrabEvent::Complete, 0.0F, n}); });
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
