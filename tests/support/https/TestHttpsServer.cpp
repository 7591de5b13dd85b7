#include "TestHttpsServer.h"

#include <QFile>
#include <QHostAddress>
#include <QMutexLocker>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <memory>
#include <stdexcept>

namespace kestrel::test {

namespace {

struct Identity {
    QSslCertificate certificate;
    QSslKey key;
};

// Two authorities, each with a certificate for 127.0.0.1; only the first is trusted by the tests.
struct Pki {
    QList<QSslCertificate> ca;
    Identity trusted, untrusted;
};

void openssl(const QString &folder, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw std::runtime_error("openssl " + arguments.join(' ').toStdString() + " failed: "
                                 + process.readAllStandardError().toStdString());
}

Identity makeIdentity(const QTemporaryDir &dir, const QString &name)
{
    const QStringList newKey{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "30"};
    openssl(dir.path(), QStringList{"req", "-x509", "-keyout", name + "-ca.key", "-out", name + "-ca.pem", "-subj",
                                    "/CN=Kestrel " + name + " CA"} + newKey);
    openssl(dir.path(), QStringList{"req", "-x509", "-CA", name + "-ca.pem", "-CAkey", name + "-ca.key", "-keyout",
                                    name + ".key", "-out", name + ".pem", "-subj", "/CN=127.0.0.1", "-addext",
                                    "subjectAltName=IP:127.0.0.1", "-addext", "basicConstraints=CA:FALSE",
                                    "-addext", "extendedKeyUsage=serverAuth"} + newKey);
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(dir.filePath(name + ".pem"));
    QFile keyFile(dir.filePath(name + ".key"));
    if (chain.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
        throw std::runtime_error("the test server certificate cannot be read");
    Identity identity{chain.first(), QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey)};
    if (identity.key.isNull())
        throw std::runtime_error("the test server key cannot be read");
    return identity;
}

const Pki &pki()
{
    static const Pki made = [] {
        QTemporaryDir dir;
        Pki pki;
        pki.trusted = makeIdentity(dir, QStringLiteral("trusted"));
        pki.untrusted = makeIdentity(dir, QStringLiteral("other"));
        pki.ca = QSslCertificate::fromPath(dir.filePath(QStringLiteral("trusted-ca.pem")));
        return pki;
    }();
    return made;
}

QByteArray statusAndHeaders(const ScriptedReply &reply)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
    for (const auto &[name, value] : reply.headers)
        out += name + ": " + value + "\r\n";
    if (reply.chunked)
        out += "Transfer-Encoding: chunked\r\n";
    else if (reply.declareLength)
        out += "Content-Length: " + QByteArray::number(reply.pieces.join().size()) + "\r\n";
    return out + "Connection: close\r\n\r\n";
}

// Checked from the event loop only: inside the socket's own signals, encrypted bytes may
// still wait in the TLS layer where no counter shows them.
void abortWhenSent(QSslSocket *socket)
{
    if (socket->bytesToWrite() + socket->encryptedBytesToWrite() == 0)
        socket->abort();
    else
        QTimer::singleShot(5, socket, [socket] { abortWhenSent(socket); });
}

// One connection: the request head as it arrives, then the reply as it goes out.
struct Exchange {
    QByteArray head;
    bool answered = false;
    ScriptedReply reply;
    qint64 bodySent = 0;
};

// Sends the body from piece `index` on, waiting between pieces as scripted.
void sendBody(QSslSocket *socket, const std::shared_ptr<Exchange> &ex, qsizetype index)
{
    const ScriptedReply &reply = ex->reply;
    for (; index < reply.pieces.size(); ++index) {
        QByteArray piece = reply.pieces[index];
        const bool drops = reply.dropAfterBodyBytes >= 0;
        if (drops)
            piece.truncate(std::max<qint64>(0, reply.dropAfterBodyBytes - ex->bodySent));
        if (!piece.isEmpty()) // an empty chunk would end a chunked body
            socket->write(reply.chunked ? QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n" : piece);
        ex->bodySent += piece.size();
        if (drops && ex->bodySent >= reply.dropAfterBodyBytes) {
            QTimer::singleShot(0, socket, [socket] { abortWhenSent(socket); });
            return;
        }
        if (reply.pieceDelay.count() > 0 && index + 1 < reply.pieces.size()) {
            QTimer::singleShot(reply.pieceDelay, socket, [socket, ex, index] { sendBody(socket, ex, index + 1); });
            return;
        }
    }
    if (reply.chunked)
        socket->write("0\r\n\r\n");
    // Queued, out of the TLS layer's signals; closes after the pending bytes.
    QMetaObject::invokeMethod(socket, &QSslSocket::disconnectFromHost, Qt::QueuedConnection);
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

ScriptedReply ScriptedReply::paced(QList<QByteArray> pieces, std::chrono::milliseconds interval, bool chunked)
{
    ScriptedReply reply;
    reply.pieces = std::move(pieces);
    reply.pieceDelay = interval;
    reply.chunked = chunked;
    return reply;
}

// Lives in the server thread, with every socket it accepts.
class TestHttpsServer::Listener : public QTcpServer {
public:
    Listener(TestHttpsServer &owner, const Identity &identity) : m_owner(owner)
    {
        m_tls = QSslConfiguration::defaultConfiguration();
        m_tls.setLocalCertificate(identity.certificate);
        m_tls.setPrivateKey(identity.key);
        m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        // Offered as most web servers do: a client willing to speak HTTP/2 picks it, and then
        // reads no reason phrase.
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
        auto *socket = new QSslSocket(this); // kept until the server stops
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSslConfiguration(m_tls);
        auto ex = std::make_shared<Exchange>();
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, ex] {
            ex->head += socket->readAll();
            if (!ex->answered && ex->head.contains("\r\n\r\n"))
                answer(socket, ex);
        });
        socket->startServerEncryption();
    }

private:
    void answer(QSslSocket *socket, const std::shared_ptr<Exchange> &ex)
    {
        ex->answered = true;
        const QByteArray path = ex->head.left(ex->head.indexOf('\n')).split(' ').value(1);
        {
            QMutexLocker lock(&m_owner.m_mutex);
            m_owner.m_requests.append(path);
            const auto found = m_owner.m_replies.find(path);
            ex->reply = found != m_owner.m_replies.end() ? found->second : ScriptedReply::text(404, "Not Found", {}, {});
        }
        QTimer::singleShot(ex->reply.headerDelay, socket, [socket, ex] {
            socket->write(statusAndHeaders(ex->reply));
            sendBody(socket, ex, 0);
        });
    }

    TestHttpsServer &m_owner;
    QSslConfiguration m_tls;
};

TestHttpsServer::TestHttpsServer(Certificate certificate)
{
    m_thread = new QThread;
    m_listener = new Listener(*this, certificate == Certificate::SignedByTestCa ? pki().trusted : pki().untrusted);
    m_listener->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::finished, m_listener, &QObject::deleteLater);
    m_thread->start();
    QMetaObject::invokeMethod(
        m_listener, [this] { m_port = m_listener->listen(QHostAddress::LocalHost, 0) ? m_listener->serverPort() : 0; },
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
    return pki().ca;
}

QString TestHttpsServer::baseUrl() const
{
    return QStringLiteral("https://127.0.0.1:%1/").arg(m_port);
}

void TestHttpsServer::setReply(const QByteArray &path, const ScriptedReply &reply)
{
    QMutexLocker lock(&m_mutex);
    m_replies[path] = reply;
}

QList<QByteArray> TestHttpsServer::requests() const
{
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

} // namespace kestrel::test
