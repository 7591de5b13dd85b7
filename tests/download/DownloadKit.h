#pragma once

// What the download tests share: a control trusting the local server's CA, and the events it raised.

#include "NetGrab.h"
#include "TestHttpsServer.h"
#include "TestKit.h"

#include <QNetworkAccessManager>

#include <memory>
#include <vector>

namespace kestrel::test {

struct GrabEvent {
    enum Kind { Progress, Complete, Failed } kind;
    float progress = 0.0F;
    qint32 number = 0;
    QString description;
};

// A control trusting the local server's CA, and the events it raised.
struct GrabHarness {
    explicit GrabHarness(HttpSettings base = {}) : settings(std::move(base))
    {
        settings.trustedCa = TestHttpsServer::caCertificates();
        grab = std::make_unique<NetGrab>(network, settings);
        QObject::connect(grab.get(), &NetGrab::DownloadProgress, grab.get(),
                         [this](float p) { events.push_back({GrabEvent::Progress, p, 0, {}}); });
        QObject::connect(grab.get(), &NetGrab::DownloadComplete, grab.get(),
                         [this](qint32 n) { events.push_back({GrabEvent::Complete, 0.0F, n, {}}); });
        QObject::connect(grab.get(), &NetGrab::DownloadFailed, grab.get(),
                         [this](qint32 n, const QString &d) { events.push_back({GrabEvent::Failed, 0.0F, n, d}); });
    }
    QString url(const QString &path) const { return server.baseUrl() + path; }
    // Starts a download of path and waits for its Complete or Failed.
    void fetch(const QString &path)
    {
        events.clear();
        grab->DownloadStart(url(path));
        waitUntil([this] { return ended(); });
    }
    bool ended() const { return !events.empty() && events.back().kind != GrabEvent::Progress; }
    const GrabEvent *lastFailure() const
    {
        return !events.empty() && events.back().kind == GrabEvent::Failed ? &events.back() : nullptr;
    }
    std::vector<float> progressValues() const
    {
        std::vector<float> values;
        for (const GrabEvent &e : events)
            if (e.kind == GrabEvent::Progress)
                values.push_back(e.progress);
        return values;
    }

    HttpSettings settings;
    TestHttpsServer server;
    QNetworkAccessManager network;
    std::unique_ptr<NetGrab> grab;
    std::vector<GrabEvent> events;
};

} // namespace kestrel::test
