#include "prerequisites/API.h"

#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProxyAccess.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringDecoder>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace kestrel::prerequisites::API {

namespace {

// A software record is a few dozen bytes; a larger body is not one, and is not held in memory.
constexpr qint64 kMaxRecordBytes = 1024 * 1024;

struct DeleteReply {
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};
using ReplyHolder = std::unique_ptr<QNetworkReply, DeleteReply>;

// Failures of the exchange itself, as opposed to an HTTP status the server chose to send.
bool isTransportFailure(QNetworkReply::NetworkError error)
{
    return (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
           || error == QNetworkReply::ProtocolUnknownError || error == QNetworkReply::ProtocolFailure;
}

QByteArray declaredCharset(const QNetworkReply &reply)
{
    const QByteArray contentType = reply.header(QNetworkRequest::ContentTypeHeader).toByteArray();
    for (const QByteArray &parameter : contentType.split(';')) {
        const QByteArray item = parameter.trimmed();
        if (item.toLower().startsWith("charset="))
            return item.mid(8).trimmed().replace('"', "");
    }
    return {};
}

QString decodeBody(const QByteArray &body, const QByteArray &charset)
{
    QStringDecoder decoder(charset.isEmpty() ? "UTF-8" : charset.constData());
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
    return decoder.decode(body);
}

// Waits for the reply without letting the user's clicks and keys in, within the record time limit
// as the settings' clock tells it.
void waitForReply(QNetworkReply &reply, std::chrono::milliseconds limit, const platform::Clock &clock)
{
    if (reply.isFinished())
        return;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    const std::chrono::milliseconds deadline = clock.now() + limit;
    const auto lookAtTheTime = [&] {
        const std::chrono::milliseconds left = deadline - clock.now();
        if (left.count() <= 0)
            reply.abort();
        else
            timer.start(left); // a timer may fire early: wait for the rest
    };
    QObject::connect(&reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, lookAtTheTime);
    QObject::connect(&clock, &platform::Clock::moved, &loop, lookAtTheTime);
    QObject::connect(&reply, &QNetworkReply::downloadProgress, &loop, [&reply](qint64 received, qint64) {
        if (received > kMaxRecordBytes)
            reply.abort();
    });
    timer.start(limit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

} // namespace

QString ExtractJsonValue(const QString &json, const QString &key)
{
    const QString quotedKey = QLatin1Char('"') + key + QLatin1Char('"');
    const qsizetype k = json.indexOf(quotedKey, 0, Qt::CaseInsensitive);
    if (k < 0)
        return {};
    const qsizetype c = json.indexOf(QLatin1Char(':'), k);
    if (c < 0)
        return {};
    const qsizetype q = json.indexOf(QLatin1Char('"'), c);
    if (q < 0)
        return {};
    const qsizetype e = json.indexOf(QLatin1Char('"'), q + 1);
    if (e < 0)
        return {};
    return json.mid(q + 1, e - q - 1);
}

QString GetLatestVersion(const QString &softwareId, const platform::UpdateService &service,
                         platform::MessageBoxes &boxes, RecordSignature *signature, QString *proxyProblem)
{
    if (service.network == nullptr)
        return {};
    const QUrl url(service.baseUrl + softwareId);
    ReplyHolder reply(service.network->get(platform::makeServiceRequest(url, service.http)));
    if (!reply)
        return {};
    waitForReply(*reply, service.http.recordTimeout, *service.http.clock);
    if (!reply->isFinished())
        return {};

    if (proxyProblem != nullptr)
        *proxyProblem = platform::proxyFailureText(*reply);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || isTransportFailure(reply->error()))
        return {};
    const int code = status.toInt();
    if (code == 200) {
        if (reply->error() != QNetworkReply::NoError || reply->bytesAvailable() > kMaxRecordBytes)
            return {};
        const QString record = decodeBody(reply->readAll(), declaredCharset(*reply));
        if (signature != nullptr)
            *signature = {ExtractJsonValue(record, QStringLiteral("sha256")),
                          ExtractJsonValue(record, QStringLiteral("signature"))};
        return ExtractJsonValue(record, QStringLiteral("version"));
    }

    const QString reason = platform::reasonPhraseText(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute));
    boxes.show(QStringLiteral("Erreur lors de la requête. Statut : ") + QString::number(code) + QLatin1Char(' ')
                   + reason,
               QStringLiteral("Mise à jour"), platform::BoxIcon::Critical, platform::BoxButtons::Ok);
    return {};
}

} // namespace kestrel::prerequisites::API
