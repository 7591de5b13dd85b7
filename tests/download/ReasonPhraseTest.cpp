// The reason phrase of a failed status, as the user reads it in both boxes.

#include "API.h"
#include "DownloadStep.h"
#include "FakeStepHost.h"
#include "NetGrab.h"
#include "SupportContact.h"
#include "TestHttpsServer.h"
#include "TestKit.h"

#include <QNetworkAccessManager>
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

class ReasonPhrase : public ::testing::TestWithParam<Phrase> {};

// Qt hands the phrase over as text read as Latin-1, or, from other clients, as raw bytes.
TEST_P(ReasonPhrase, DecodesAsUtf8WhenValidElseLatin1)
{
    EXPECT_EQ(reasonPhraseText(QVariant(QString::fromLatin1(GetParam().onTheWire))), GetParam().shown);
    EXPECT_EQ(reasonPhraseText(QVariant(GetParam().onTheWire)), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Phrases, ReasonPhrase,
    ::testing::Values(Phrase{"Ascii", "Not Found", QStringLiteral("Not Found")},
                      Phrase{"Utf8", "Non trouv\xc3\xa9 \xe2\x80\x94 \xc3\xa0 revoir", QStringLiteral("Non trouvé — à revoir")},
                      Phrase{"Latin1", "Non trouv\xe9", QStringLiteral("Non trouvé")},
                      Phrase{"Utf8CutShort", "Fin \xc3", QStringLiteral("Fin Ã")}),
    [](const auto &info) { return std::string(info.param.name); });

// Against a server that offers HTTP/2 as well: each request speaks HTTP/1.1, whose status line
// carries the phrase.
TEST(ReasonPhraseOverHttps, ReachesBothBoxes)
{
    FakeStepHost host;
    TestHttpsServer server;
    QNetworkAccessManager network;
    HttpSettings http;
    http.trustedCa = TestHttpsServer::caCertificates();
    host.service = {&network, server.baseUrl() + QStringLiteral("vb6/v1/softwares/"), http, {}};
    const ScriptedReply notFound = ScriptedReply::text(404, "Non trouv\xc3\xa9", "absent", "text/plain");
    server.setReply("/vb6/v1/softwares/kestrel11", notFound);
    server.setReply("/vb6/v1/softwares/kestrel11/download", notFound);

    EXPECT_TRUE(API::GetLatestVersion(QStringLiteral("kestrel11"), host.service, host.boxes).isEmpty());

    QTemporaryDir dir;
    host.ctx.updatesFolder = dir.path() + QStringLiteral("/updates/");
    host.ctx.packageFileName = QStringLiteral("maj_kestrel11_2.0.0.zip");
    NetGrab grab(network, http);
    download::PackageFile package;
    QObject::connect(&grab, &NetGrab::DownloadFailed, &grab,
                     [&](qint32 n, const QString &d) { onDownloadFailed(host, n, d, package); });
    StartDownload(host, grab, package);
    ASSERT_TRUE(waitUntil([&host] { return host.buttonEnabled > 0; }));

    ASSERT_EQ(host.boxes.shown.size(), 2u);
    EXPECT_EQ(host.boxes.shown[0].text, QStringLiteral("Erreur lors de la requête. Statut : 404 Non trouvé"));
    EXPECT_EQ(host.boxes.shown[1].text,
              QStringLiteral("Erreur lors du téléchargement de la mise à jour : 404 Non trouvé") + SupportContactText());
    ASSERT_EQ(server.requestCount(), 2);
    for (const RecordedRequest &request : server.requests())
        EXPECT_NE(request.protocol, "h2");
}

} // namespace
} // namespace kestrel::test
