#pragma once

// A scripted HTTPS server on 127.0.0.1 for the tests. It runs in its own thread, so that the
// test's thread may block in a synchronous client with a local event loop.

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QSslCertificate>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <map>

class QThread;

namespace kestrel::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// How the server answers one request.
struct ScriptedReply {
    enum class Length {
        Automatic, // Content-Length of the body (none when chunked)
        Omitted,   // no Content-Length: the body ends when the connection closes
        Raw,       // Content-Length carries rawContentLength as it stands ("abc", "", "99999999999")
    };

    int status = 200;
    QByteArray reason = "OK";
    HeaderList headers;
    // The body, sent in these pieces (one piece for an ordinary body).
    QList<QByteArray> pieces;
    // Instead of pieces: a file streamed in pieces of fileChunkBytes, so a big body needs no memory.
    QString bodyFile;
    qint64 fileChunkBytes = 256 * 1024;

    Length length = Length::Automatic;
    QByteArray rawContentLength;
    bool chunked = false;

    std::chrono::milliseconds headerDelay{0}; // before the status line
    std::chrono::milliseconds pieceDelay{0};  // between two pieces of the body
    qint64 dropAfterBodyBytes = -1;           // abort the connection once this many body bytes are out
    bool neverAnswer = false;                 // read the request, then hold the connection silently

    // A plain reply with its body in one piece.
    static ScriptedReply text(int status, const QByteArray &reason, const QByteArray &body,
                              const QByteArray &contentType = "application/json");
    // A 200 reply whose body comes pieceBytes at a time, one piece per interval.
    static ScriptedReply trickle(const QByteArray &body, qsizetype pieceBytes, std::chrono::milliseconds interval);
};

struct RecordedRequest {
    QByteArray method;
    QByteArray path; // as sent on the request line, query included
    HeaderList headers;
    QByteArray protocol; // what TLS negotiated (ALPN): "http/1.1", "h2", or empty

    // The value of the first header of that name (letter case ignored), or a null array.
    QByteArray header(const QByteArray &name) const;
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
    static QString caPemPath();

    quint16 port() const { return m_port; }
    QString baseUrl() const; // "https://127.0.0.1:PORT/"
    QUrl url(const QString &pathWithoutLeadingSlash) const;

    // The reply for one path ("/vb6/v1/softwares/kestrel11"); unknown paths get 404 Not Found.
    void setReply(const QByteArray &path, const ScriptedReply &reply);
    // When set, answers every request instead of the per-path replies. Runs in the server thread.
    void setHandler(std::function<ScriptedReply(const RecordedRequest &)> handler);

    QList<RecordedRequest> requests() const;
    int requestCount() const;
    void clearRequests();

private:
    class Listener;

    ScriptedReply replyFor(const RecordedRequest &request);

    mutable QMutex m_mutex;
    std::map<QByteArray, ScriptedReply> m_replies;
    std::function<ScriptedReply(const RecordedRequest &)> m_handler;
    QList<RecordedRequest> m_requests;

    QThread *m_thread = nullptr;
    Listener *m_listener = nullptr;
    quint16 m_port = 0;
};

} // namespace kestrel::test
