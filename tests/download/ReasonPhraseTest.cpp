#include "API.h"
#include "DownloadKit.h"
#include "DownloadStep.h"
#include "FakeStepHost.h"
#include "SupportContact.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrel::test {
namespace {

struct Phrase {
    const char *name;
    QByteArray onTheWire;
    QString shown;
};

void PrintTo(const Phrase &p, std::ostream *out) { *out << p.name; }

const Phrase kPhrases[] = {
    {"Ascii", "Not Found", QStringLiteral("Not Found")},
    {"Utf8", "Non trouv\xc3\xa9 \xe2\x80\x94 \xc3\xa0 revoir", QStringLiteral("Non trouvé — à revoir")},
    {"Latin1", "Non trouv\xe9", QStringLiteral("Non trouvé")},
    {"Utf8CutShort", "Fin \xc3", QStringLiteral("Fin Ã")},
};

class ReasonPhrase : public ::testing::TestWithParam<Phrase> {};

// Qt hands the phrase over as text read as Latin-1, or, from other clients, as raw bytes.
TEST_P(ReasonPhrase, DecodesAsUtf8WhenValidElseLatin1)
{
    EXPECT_EQ(reasonPhraseText(QVariant(QString::fromLatin1(GetParam().onTheWire))), GetParam().shown);
    EXPECT_EQ(reasonPhraseText(QVariant(GetParam().onTheWire)), GetParam().shown);
}

// Both boxes, against a server that offers HTTP/2 as well: each request speaks HTTP/1.1, whose
// status line carries the phrase.
TEST_P(ReasonPhrase, ReachesBothBoxesFromAServerOfferingHttp2)
{
    const Phrase &phrase = GetParam();
    FakeStepHost host;
    TestHttpsServer server;
    QNetworkAccessManager network;
    HttpSettings http;
    http.trustedCa = TestHttpsServer::caCertificates();
    host.service = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"), http, {}};
    server.setHandler([&phrase](const RecordedRequest &) {
        return ScriptedReply::text(404, phrase.onTheWire, "absent", "text/plain");
    });

    EXPECT_TRUE(API::GetLatestVersion(QStringLiteral("kestrel11"), host.service, host.boxes).isEmpty());

    QTemporaryDir dir;
    host.ctx.updatesFolder = dir.path() + QStringLiteral("/updates/");
    host.ctx.packageFileName = QStringLiteral("maj_kestrel11_2.0.0.zip");
    NetGrab grab(network, http);
    platform::PackageFile package;
    QObject::connect(&grab, &NetGrab::DownloadFailed, &grab,
                     [&](qint32 n, const QString &d) { onDownloadFailed(host, n, d, package); });
    StartDownload(host, grab, package);
    ASSERT_TRUE(waitUntil([&host] { return host.buttonEnabled > 0; }));

    ASSERT_EQ(host.boxes.shown.size(), 2u);
    EXPECT_EQ(host.boxes.shown[0].text, QStringLiteral("Erreur lors de la requête. Statut : 404 ") + phrase.shown);
    EXPECT_EQ(host.boxes.shown[1].text, QStringLiteral("Erreur lors du téléchargement de la mise à jour : 404 ")
                                            + phrase.shown + SupportContactText());
    ASSERT_EQ(server.requestCount(), 2);
    for (const RecordedRequest &request : server.requests())
        EXPECT_NE(request.protocol, "h2");
}

INSTANTIATE_TEST_SUITE_P(Phrases, ReasonPhrase, ::testing::ValuesIn(kPhrases),
                         [](const auto &info) { return std::string(info.param.name); });

// What makes the test above worth having: a client that allows HTTP/2 gets it from this server.
TEST(TestServerProtocols, ClientAllowingHttp2IsGivenHttp2)
{
    TestHttpsServer server;
    QSslSocket socket;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(TestHttpsServer::caCertificates());
    tls.setAllowedNextProtocols({QSslConfiguration::ALPNProtocolHTTP2, QSslConfiguration::NextProtocolHttp1_1});
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    ASSERT_TRUE(socket.waitForEncrypted(30000)) << socket.errorString().toStdString();
    EXPECT_EQ(socket.sslConfiguration().nextNegotiatedProtocol(), QByteArray("h2"));
}

} // namespace
} // namespace kestrel::test
