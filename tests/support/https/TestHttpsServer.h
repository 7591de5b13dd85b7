#pragma once

// A scripted HTTPS server on 127.0.0.1 for the tests. It runs in its own thread, so that the
// test's thread may block, or wait in a local event loop, while it answers.

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QSslCertificate>
#include <QString>

#include <chrono>
#include <map>

class QThread;

namespace kestrel::test {

// How the server answers one request.
struct ScriptedReply {
    int status = 200;
    QByteArray reason = "OK";
    QList<QPair<QByteArray, QByteArray>> headers;
    QList<QByteArray> pieces;  // the body, sent in these pieces
    bool declareLength = true; // a Content-Length of the whole body, unless chunked
    bool chunked = false;
    std::chrono::milliseconds headerDelay{0}; // before the status line
    std::chrono::milliseconds pieceDelay{0};  // between two pieces of the body
    qint64 dropAfterBodyBytes = -1;           // abort the connection once this many body bytes are out

    // A reply with its body in one piece.
    static ScriptedReply text(int status, const QByteArray &reason, const QByteArray &body,
                              const QByteArray &contentType = "application/json");
    // A 200 reply whose body comes in these pieces, one per interval.
    static ScriptedReply paced(QList<QByteArray> pieces, std::chrono::milliseconds interval, bool chunked = false);
};

class TestHttpsServer {
public:
    enum class Certificate {
        SignedByTestCa,  // trusted through caCertificates()
        SignedByOtherCa, // valid for 127.0.0.1, but chained to a CA the tests never trust
    };

    explicit TestHttpsServer(Certificate certificate = Certificate::SignedByTestCa);
    ~TestHttpsServer();
    TestHttpsServer(const TestHttpsServer &) = delete;
    TestHttpsServer &operator=(const TestHttpsServer &) = delete;

    // The CA that signs the server certificate, generated once per test process.
    static QList<QSslCertificate> caCertificates();

    QString baseUrl() const; // "https://127.0.0.1:PORT/"
    // The reply for one path ("/vb6/v1/softwares/kestrel11"); other paths get 404 Not Found.
    void setReply(const QByteArray &path, const ScriptedReply &reply);
    // The paths requested so far, as sent on the request line.
    QList<QByteArray> requests() const;
    int requestCount() const { return static_cast<int>(requests().size()); }

private:
    class Listener;

    mutable QMutex m_mutex;
    std::map<QByteArray, ScriptedReply> m_replies;
    QList<QByteArray> m_requests;
    QThread *m_thread = nullptr;
    Listener *m_listener = nullptr;
    quint16 m_port = 0;
};

} // namespace kestrel::test
