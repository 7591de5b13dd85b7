#include "TestHttpsServer.h"
#include "TestPki.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutexLocker>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <memory>
#include <optional>
#include <stdexcept>

namespace kestrel::test {

namespace {

qint64 unsent(const QSslSocket *socket)
{
    return socket->bytesToWrite() + socket->encryptedBytesToWrite();
}

// Keeps a streamed body from filling memory when the client reads slowly.
constexpr qint64 kHighWater = 1024 * 1024;
constexpr qsizetype kMaxRequestHead = 64 * 1024;

// One connection: the request as it arrives, then the scripted reply as it goes out.
struct Exchange {
    QSslSocket *socket = nullptr;
    QByteArray head;
    bool requestRead = false;
    bool headSent = false;
    ScriptedReply reply;
    qsizetype nextPiece = 0;
    std::unique_ptr<QFile> file;
    qint64 bodySent = 0;
    bool waiting = false;  // a delay between pieces is running
    bool finished = false; // nothing more to send
};

std::optional<RecordedRequest> parseHead(const QByteArray &head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3)
        return std::nullopt;
    RecordedRequest request{requestLine[0], requestLine[1], {}, {}};
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return request;
}

qint64 bodySize(const ScriptedReply &reply)
{
    if (!reply.bodyFile.isEmpty())
        return QFileInfo(reply.bodyFile).size();
    qint64 size = 0;
    for (const QByteArray &piece : reply.pieces)
        size += piece.size();
    return size;
}

bool hasHeader(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray statusAndHeaders(const ScriptedReply &reply)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
    for (const auto &[name, value] : reply.headers)
        out += name + ": " + value + "\r\n";
    if (reply.length == ScriptedReply::Length::Automatic && !reply.chunked)
        out += "Content-Length: " + QByteArray::number(bodySize(reply)) + "\r\n";
    else if (reply.length == ScriptedReply::Length::Raw)
        out += "Content-Length: " + reply.rawContentLength + "\r\n";
    if (reply.chunked)
        out += "Transfer-Encoding: chunked\r\n";
    if (!hasHeader(reply.headers, "Connection"))
        out += "Connection: close\r\n";
    return out + "\r\n";
}

std::optional<QByteArray> takeNextPiece(Exchange &ex)
{
    if (ex.file) {
        if (ex.file->atEnd())
            return std::nullopt;
        const QByteArray piece = ex.file->read(ex.reply.fileChunkBytes);
        if (piece.isEmpty())
            return std::nullopt;
        return piece;
    }
    if (ex.nextPiece >= ex.reply.pieces.size())
        return std::nullopt;
    return ex.reply.pieces[ex.nextPiece++];
}

} // namespace

ScriptedReply ScriptedReply::text(int status, const QByteArray &reason, const QByteArray &body,
                                  const QByteArray &contentType)
{
    ScriptedReply reply;
    reply.status = status;
    reply.reason = reason;
    reply.pieces = {body};
    if (!contentType.isEmpty())
        reply.headers.append({"Content-Type", contentType});
    return reply;
}

ScriptedReply ScriptedReply::trickle(const QByteArray &body, qsizetype pieceBytes, std::chrono::milliseconds interval)
{
    ScriptedReply reply;
    for (qsizetype at = 0; at < body.size(); at += pieceBytes)
        reply.pieces.append(body.mid(at, pieceBytes));
    reply.pieceDelay = interval;
    return reply;
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

// Lives in the server thread, with every socket it accepts.
class TestHttpsServer::Listener : public QTcpServer {
public:
    Listener(TestHttpsServer &owner, const ServerIdentity &identity) : m_owner(owner)
    {
        m_tls = QSslConfiguration::defaultConfiguration();
        m_tls.setLocalCertificate(identity.certificate);
        m_tls.setPrivateKey(identity.key);
        m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        // Offered as most web servers do: a client willing to speak HTTP/2 picks it.
        m_tls.setAllowedNextProtocols({QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1});
    }

    void stop()
    {
        close();
        for (QSslSocket *socket : findChildren<QSslSocket *>())
            socket->abort();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        auto ex = std::make_shared<Exchange>();
        ex->socket = socket;
        socket->setSslConfiguration(m_tls);
        connect(socket, &QSslSocket::readyRead, socket, [this, ex] { onReadable(ex); });
        connect(socket, &QSslSocket::bytesWritten, socket, [this, ex] { pump(ex); });
        connect(socket, &QSslSocket::encryptedBytesWritten, socket, [this, ex] { pump(ex); });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QSslSocket::errorOccurred, socket, [socket] {
            if (socket->state() == QAbstractSocket::UnconnectedState)
                socket->deleteLater();
        });
        socket->startServerEncryption();
    }

private:
    void onReadable(const std::shared_ptr<Exchange> &ex)
    {
        const QByteArray data = ex->socket->readAll();
        if (ex->requestRead)
            return; // a request body, or the client's next words: not needed
        ex->head += data;
        const qsizetype end = ex->head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (ex->head.size() > kMaxRequestHead)
                ex->socket->abort();
            return;
        }
        ex->requestRead = true;
        std::optional<RecordedRequest> request = parseHead(ex->head.left(end));
        if (!request) {
            ex->socket->abort();
            return;
        }
        request->protocol = ex->socket->sslConfiguration().nextNegotiatedProtocol();
        {
            QMutexLocker lock(&m_owner.m_mutex);
            m_owner.m_requests.append(*request);
        }
        answer(ex, m_owner.replyFor(*request));
    }

    void answer(const std::shared_ptr<Exchange> &ex, const ScriptedReply &reply)
    {
        ex->reply = reply;
        if (reply.neverAnswer)
            return; // held until the server stops
        if (!reply.bodyFile.isEmpty()) {
            ex->file = std::make_unique<QFile>(reply.bodyFile);
            if (!ex->file->open(QIODevice::ReadOnly)) {
                ex->socket->abort();
                return;
            }
        }
        if (reply.headerDelay.count() > 0) {
            QTimer::singleShot(reply.headerDelay, ex->socket, [this, ex] { sendHead(ex); });
            return;
        }
        sendHead(ex);
    }

    void sendHead(const std::shared_ptr<Exchange> &ex)
    {
        ex->socket->write(statusAndHeaders(ex->reply));
        ex->headSent = true;
        pump(ex);
    }

    void writeBody(Exchange &ex, const QByteArray &piece)
    {
        if (piece.isEmpty())
            return; // an empty chunk would end a chunked body
        if (ex.reply.chunked)
            ex.socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
        else
            ex.socket->write(piece);
        ex.bodySent += piece.size();
    }

    // Checked from the event loop only: inside the socket's own signals, encrypted bytes may
    // still wait in the TLS layer where no counter shows them.
    static void abortWhenSent(QSslSocket *socket)
    {
        if (unsent(socket) == 0)
            socket->abort();
        else
            QTimer::singleShot(5, socket, [socket] { abortWhenSent(socket); });
    }

    void pump(const std::shared_ptr<Exchange> &ex)
    {
        if (!ex->headSent || ex->waiting || ex->finished)
            return;
        const ScriptedReply &reply = ex->reply;
        while (true) {
            if (reply.dropAfterBodyBytes >= 0 && ex->bodySent >= reply.dropAfterBodyBytes) {
                ex->finished = true;
                QTimer::singleShot(0, ex->socket, [ex] { abortWhenSent(ex->socket); });
                return;
            }
            if (unsent(ex->socket) > kHighWater)
                return; // resumed by the bytes-written signals
            std::optional<QByteArray> piece = takeNextPiece(*ex);
            if (!piece) {
                if (reply.chunked)
                    ex->socket->write("0\r\n\r\n");
                ex->finished = true;
                // Queued, out of the TLS layer's signals; closes after the pending bytes.
                QMetaObject::invokeMethod(ex->socket, &QSslSocket::disconnectFromHost, Qt::QueuedConnection);
                return;
            }
            if (reply.dropAfterBodyBytes >= 0)
                piece->truncate(std::min<qint64>(piece->size(), reply.dropAfterBodyBytes - ex->bodySent));
            writeBody(*ex, *piece);
            if (reply.pieceDelay.count() > 0) {
                ex->waiting = true;
                QTimer::singleShot(reply.pieceDelay, ex->socket, [this, ex] {
                    ex->waiting = false;
                    pump(ex);
                });
                return;
            }
        }
    }

    TestHttpsServer &m_owner;
    QSslConfiguration m_tls;
};

TestHttpsServer::TestHttpsServer(Certificate certificate)
{
    const ServerIdentity &identity =
        certificate == Certificate::SignedByTestCa ? testPki().trusted : testPki().untrusted;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("TestHttpsServer"));
    m_listener = new Listener(*this, identity);
    m_listener->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::finished, m_listener, &QObject::deleteLater);
    m_thread->start();
    QMetaObject::invokeMethod(
        m_listener,
        [this] {
            if (m_listener->listen(QHostAddress::LocalHost, 0))
                m_port = m_listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
    if (m_port == 0) {
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
        throw std::runtime_error("the test HTTPS server cannot listen on 127.0.0.1");
    }
}

TestHttpsServer::~TestHttpsServer()
{
    QMetaObject::invokeMethod(m_listener, [this] { m_listener->stop(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

QList<QSslCertificate> TestHttpsServer::caCertificates()
{
    return testPki().ca;
}

QString TestHttpsServer::caPemPath()
{
    return testPki().caPemPath;
}

QString TestHttpsServer::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1/").arg(m_port);
}

QUrl TestHttpsServer::url(const QString &pathWithoutLeadingSlash) const
{
    return QUrl(baseUrl() + pathWithoutLeadingSlash);
}

void TestHttpsServer::setReply(const QByteArray &path, const ScriptedReply &reply)
{
    QMutexLocker lock(&m_mutex);
    m_replies[path] = reply;
}

void TestHttpsServer::setHandler(std::function<ScriptedReply(const RecordedRequest &)> handler)
{
    QMutexLocker lock(&m_mutex);
    m_handler = std::move(handler);
}

ScriptedReply TestHttpsServer::replyFor(const RecordedRequest &request)
{
    std::function<ScriptedReply(const RecordedRequest &)> handler;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_handler) {
            const auto found = m_replies.find(request.path);
            if (found != m_replies.end())
                return found->second;
            return ScriptedReply::text(404, "Not Found", {}, {});
        }
        handler = m_handler;
    }
    return handler(request);
}

QList<RecordedRequest> TestHttpsServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

int TestHttpsServer::requestCount() const
{
    QMutexLocker lock(&m_mutex);
    return static_cast<int>(m_requests.size());
}

void TestHttpsServer::clearRequests()
{
    QMutexLocker lock(&m_mutex);
    m_requests.clear();
}

} // namespace kestrel::test
