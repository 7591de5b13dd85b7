#pragma once

// A scripted HTTPS server on 127.0.0.1 for the tests.

#include <QList>
#include <QPair>
#include <QSslConfiguration>
#include <QTcpServer>

#include <chrono>
#include <map>

namespace kestrel::test {

// How the server answers one request, e.g. {.status = 404, .reason = "Not Found"} or {.pieces = {a, b}, .pieceDelay = 50ms}.
struct ScriptedReply {
    int status = 200;
    QByteArray reason = "OK";
    QList<QPair<QByteArray, QByteArray>> headers = {};
    QList<QByteArray> pieces = {}; // the body, sent in these pieces
    bool declareLength = true; // a Content-Length of the whole body; otherwise the body ends at close
    std::chrono::milliseconds headerDelay{0}; // before the status line
    std::chrono::milliseconds pieceDelay{0};  // between two pieces of the body
    qint64 dropAfterBodyBytes = -1;           // abort the connection once this many body bytes are out
};

// Answers from the event loop of the thread that made it; SignedByOtherCa: valid for 127.0.0.1, chained to a CA never trusted.
class TestHttpsServer : public QTcpServer {
public:
    enum class Certificate { SignedByTestCa, SignedByOtherCa };
    explicit TestHttpsServer(Certificate certificate = Certificate::SignedByTestCa);

    static QList<QSslCertificate> caCertificates(); // the CA that signs the trusted certificate
    QString baseUrl() const; // "https://127.0.0.1:PORT/"
    // The reply for one path (others get 404); a request with a Range header gets that of path + "#range" if set.
    void setReply(const QByteArray &path, const ScriptedReply &reply) { m_replies[path] = reply; }
    const QList<QByteArray> &heads() const { return m_heads; } // the request heads so far, whole
    int requestCount() const { return static_cast<int>(m_heads.size()); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_tls;
    std::map<QByteArray, ScriptedReply> m_replies;
    QList<QByteArray> m_heads;
};

} // namespace kestrel::test
