#pragma once

// What the download tests share: a server, a network manager that trusts its CA, a control,
// the events it raised, and a bounded wait.

#include "NetGrab.h"
#include "TestHttpsServer.h"

#include <QNetworkAccessManager>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace kestrel::test {

struct GrabEvent {
    enum Kind { Progress, Complete, Failed } kind;
    float progress = 0.0F;
    qint32 number = 0;
    QString description;
};

// Processes events until done() holds or the limit passes; answers done().
bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Processes events for a while, for checks that something does not happen.
void settle(std::chrono::milliseconds span = std::chrono::milliseconds(300));

// A port on 127.0.0.1 where nothing listens.
quint16 closedPort();

// A body whose bytes differ by position, so a shifted or repeated piece shows.
QByteArray patternBytes(qsizetype size, char salt = 0);

class GrabHarness {
public:
    explicit GrabHarness(HttpSettings settings = {});

    HttpSettings settings;
    TestHttpsServer server;
    QNetworkAccessManager network;
    std::unique_ptr<NetGrab> grab;
    std::vector<GrabEvent> events;

    QString url(const QString &path) const { return server.baseUrl() + path; }
    // Starts a download of path and waits for its Complete or Failed.
    void fetch(const QString &path);
    bool ended() const;
    std::vector<float> progressValues() const;
    const GrabEvent *lastFailure() const;
};

} // namespace kestrel::test
