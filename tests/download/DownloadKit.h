#pragma once

// What the download tests share: a server, a network manager that trusts its CA, a control,
// the events it raised.

#include "NetGrab.h"
#include "TestHttpsServer.h"
#include "TestKit.h"

#include <QNetworkAccessManager>
#include <QString>

#include <memory>
#include <vector>

namespace kestrel::test {

struct GrabEvent {
    enum Kind { Progress, Complete, Failed } kind;
    float progress = 0.0F;
    qint32 number = 0;
    QString description;
};

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
