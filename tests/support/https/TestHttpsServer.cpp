#include "support/https/TestHttpsServer.h"

#include <QFile>
#include <QHostAddress>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>

#include <memory>
#include <stdexcept>

namespace kestrel::test {

namespace {

// A file of certs/, made by certs/make-certs.sh.
QByteArray certificateFile(const QString &name)
{
    QFile file(QStringLiteral(KESTREL_TEST_CERTIFICATES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("the test certificate " + name.toStdString() + " cannot be read");
    return file.readAll();
}

QByteArray statusAndHeaders(const ScriptedReply &reply)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
    for (const auto &[name, value] : reply.headers)
        out += name + ": " + value + "\r\n";
    if (reply.declareLength)
        out += "Content-Length: " + QByteArray::number(reply.pieces.join().size()) + "\r\n";
    return out + "Connection: close\r\n\r\n";
}

// Checked from the event loop only: inside the socket's signals, bytes may still wait in the TLS layer where no counter shows them.
void abortWhenSent(QSslSocket *socket)
{
    if (socket->bytesToWrite() + socket->encryptedBytesToWrite() == 0)
        socket->abort();
    else
        QTimer::singleShot(5, socket, [socket] { abortWhenSent(socket); });
}

// One connection: the request head as it arrives, then the reply as it goes out.
struct Exchange { QByteArray head; bool answered = false; ScriptedReply reply; qint64 bodySent = 0; };

// Sends the body from piece `index` on, waiting between pieces as scripted.
void sendBody(QSslSocket *socket, const std::shared_ptr<Exchange> &ex, qsizetype index)
{
    const ScriptedReply &reply = ex->reply;
    for (; index < reply.pieces.size(); ++index) {
        QByteArray piece = reply.pieces[index];
        const bool drops = reply.dropAfterBodyBytes >= 0;
        if (drops)
            piece.truncate(std::max<qint64>(0, reply.dropAfterBodyBytes - ex->bodySent));
        ex->bodySent += socket->write(piece);
        if (drops && ex->bodySent >= reply.dropAfterBodyBytes) {
            QTimer::singleShot(0, socket, [socket] { abortWhenSent(socket); });
            return;
        }
        if (reply.pieceDelay.count() > 0 && index + 1 < reply.pieces.size()) {
            QTimer::singleShot(reply.pieceDelay, socket, [socket, ex, index] { sendBody(socket, ex, index + 1); });
            return;
        }
    }
    // Queued, out of the TLS layer's signals; closes after the pending bytes.
    QMetaObject::invokeMethod(socket, &QSslSocket::disconnectFromHost, Qt::QueuedConnection);
}

} // namespace

TestHttpsServer::TestHttpsServer(Certificate certificate)
{
    const QString name = certificate == Certificate::SignedByTestCa ? QStringLiteral("trusted") : QStringLiteral("other");
    m_tls = QSslConfiguration::defaultConfiguration();
    m_tls.setLocalCertificate(QSslCertificate(certificateFile(name + ".pem")));
    m_tls.setPrivateKey(QSslKey(certificateFile(name + ".key"), QSsl::Ec));
    m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    // Offered as most web servers do: a client willing to speak HTTP/2 picks it, and reads no reason phrase.
    m_tls.setAllowedNextProtocols({QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1});
    if (!listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("the test HTTPS server cannot listen on 127.0.0.1");
}

QList<QSslCertificate> TestHttpsServer::caCertificates() { return QSslCertificate::fromData(certificateFile(QStringLiteral("trusted-ca.pem"))); }

QString TestHttpsServer::baseUrl() const { return QStringLiteral("https://127.0.0.1:%1/").arg(serverPort()); }

void TestHttpsServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this); // kept until the server goes
    socket->setSocketDescriptor(descriptor);
    socket->setSslConfiguration(m_tls);
    auto ex = std::make_shared<Exchange>();
    connect(socket, &QSslSocket::readyRead, socket, [this, socket, ex] {
        ex->head += socket->readAll();
        if (ex->answered || !ex->head.contains("\r\n\r\n"))
            return;
        ex->answered = true;
        m_heads.append(ex->head);
        const QByteArray path = ex->head.left(ex->head.indexOf('\n')).split(' ').value(1);
        auto found = ex->head.toLower().contains("\r\nrange:") ? m_replies.find(path + "#range") : m_replies.end();
        found = found != m_replies.end() ? found : m_replies.find(path);
        ex->reply = found != m_replies.end() ? found->second : ScriptedReply{.status = 404, .reason = "Not Found"};
        QTimer::singleShot(ex->reply.headerDelay, socket, [socket, ex] { socket->write(statusAndHeaders(ex->reply)), sendBody(socket, ex, 0); });
    });
    socket->startServerEncryption();
}

} // namespace kestrel::test
