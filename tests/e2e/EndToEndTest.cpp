// The whole wizard against the local update service of tools/update-service: the real window,
// service client, process probe, download control, package signature and installer, over real HTTPS on 127.0.0.1.

#include "support/FakeStepHost.h"
#include "support/zip/ZipBuilder.h"
#include "wizard/FrmUpdate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QSslCertificate>

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

// One click with the vendor's key: the record the service signed and the package it describes,
// 11.0.27, installed over the user's files, which stay; its folder "donnees" already exists.
TEST(EndToEnd, OneClickInstallsThePackageTheVendorSigned)
{
    const zip::Tree package = {{"kestrel11.exe", "Kestrel 11 version 11.0.27\n"}, {"LISEZMOI.txt", "Nouveautés de 11.0.27\n"},
                               {"donnees/", ""}, {"donnees/modeles/", ""}, {"donnees/langues/", ""},
                               {"donnees/langues/fr.txt", "bonjour=Bonjour\n"}, {"donnees/modeles/facture.kmod", "modèle de facture, révision 27\n"}};
    QTemporaryDir appDir, dir;
    const fs::path app = appDir.path().toStdString(), served = dir.filePath("served").toStdString();
    zip::writeFile(app / "kestrel11.exe", "Kestrel 11 version 11.0.1\n");
    zip::writeFile(app / "mes-notes.txt", "Mes notes : ne pas perdre.\n");
    fs::create_directories(app / "donnees");
    zip::writeFile(app / "donnees" / "mes-reglages.ini", "[affichage]\r\ntheme=sombre\r\n");
    zip::Tree expected = zip::snapshot(app);
    std::vector<zip::Entry> entries;
    for (const auto &[path, data] : package)
        entries.push_back({path, data, path.ends_with('/') ? zip::EntryType::Dir : zip::EntryType::File});
    fs::create_directories(served);
    zip::writeFile(served / "version.txt", "11.0.27\n");
    zip::writeZip(served / "package.zip", entries);
    // The service's own command makes the key pair and prints the public key.
    QProcess service;
    service.start(QStringLiteral(KESTREL_PYTHON3), {KESTREL_UPDATE_SERVICE_SCRIPT, "--make-signing-key", dir.filePath("vendor.pem")});
    ASSERT_TRUE(service.waitForFinished(60000));
    const QString publicKey = QString::fromLatin1(service.readAllStandardOutput().trimmed());
    ASSERT_EQ(publicKey.size(), 44);
    // Its standard error shows in the test's output; the first line of its standard output is the
    // port, once it listens (its CA is made first).
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QStringLiteral(KESTREL_PYTHON3),
                  {KESTREL_UPDATE_SERVICE_SCRIPT, "--folder", dir.filePath("served"), "--state-dir", dir.filePath("state"), "--log",
                   dir.filePath("requests.jsonl"), "--signing-key", dir.filePath("vendor.pem"), "--port", "0"});
    while (!service.canReadLine())
        ASSERT_TRUE(service.waitForReadyRead(60000)) << "the update service did not start (its messages are above)";
    const QString baseUrl = QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(service.readLine().trimmed().toInt());
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    QNetworkAccessManager network;
    wizard::FrmUpdate window({&boxes, &end, nullptr,
                              {&network, baseUrl, {.trustedCa = QSslCertificate::fromPath(dir.filePath("state/ca.pem"))}, publicKey},
                              appDir.path()});
    window.show();
    auto *button = window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"));

    button->click();
    ASSERT_TRUE(waitUntil([&] { return button->isEnabled(); }, std::chrono::minutes(2)));

    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(window.context().currentStep, 5);
    // Plain GETs carrying only what the HTTP client sends by itself.
    QStringList requested;
    QFile log(dir.filePath("requests.jsonl"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    while (!log.atEnd()) {
        const QJsonObject request = QJsonDocument::fromJson(log.readLine()).object();
        requested << request.value("method").toString() + ' ' + request.value("path").toString();
        for (const QString &name : request.value("headers").toObject().keys())
            EXPECT_TRUE(QStringList({"host", "connection", "accept-encoding", "accept-language", "user-agent"}).contains(name.toLower()))
                << "header of the wizard's own: " << name.toStdString();
    }
    EXPECT_EQ(requested, QStringList({"GET /vb6/v1/softwares/kestrel11", "GET /vb6/v1/softwares/kestrel11/download"}));
    for (const auto &[path, data] : package)
        expected[path] = data;
    expected["updates/"] = "";
    EXPECT_EQ(zip::snapshot(app), expected);
    service.terminate();
    service.waitForFinished(60000);
}

} // namespace
} // namespace kestrel::test
