// The whole wizard against the local update service of tools/update-service over real HTTPS on 127.0.0.1: the real window,
// service client, process probe, download control, package signature and installer.

#include "platform/ProxyAccess.h"
#include "support/FakeStepHost.h"
#include "support/zip/ZipBuilder.h"
#include "wizard/FrmUpdate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QSslCertificate>
#include <QTcpSocket>

#include <optional>
#include <stdexcept>

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

// The package of 11.0.27: a replaced executable, new files, nested folders, and "donnees", which already holds a file of the user's.
const std::vector<zip::Entry> kPackage = {
    {"kestrel11.exe", "Kestrel 11 version 11.0.27\n"}, {"LISEZMOI.txt", "Nouveautés de 11.0.27\n"}, {"donnees/", "", zip::EntryType::Dir},
    {"donnees/modeles/", "", zip::EntryType::Dir}, {"donnees/langues/", "", zip::EntryType::Dir}, {"donnees/langues/fr.txt", "bonjour=Bonjour\n"},
    {"donnees/modeles/facture.kmod", "modèle de facture, révision 27\n"}};

// The local update service of one test on a free port of 127.0.0.1, its files in a temporary folder, serving 11.0.27 and the package.
class LocalUpdateService {
public:
    LocalUpdateService(const std::string &package, const QStringList &arguments)
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("served"));
        zip::writeFile(file("served/version.txt"), "11.0.27\n");
        zip::writeFile(file("served/package.zip"), package);
        // Its standard error shows in the test's output; its first line of output is the port, once it listens.
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(KESTREL_PYTHON3),
                        QStringList{KESTREL_UPDATE_SERVICE_SCRIPT, "--folder", m_dir.filePath("served"), "--state-dir", m_dir.filePath("state"),
                                    "--log", m_dir.filePath("requests.jsonl"), "--port", "0"} + arguments);
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(60000))
                throw std::runtime_error("the update service did not start (its messages are above)");
        m_port = m_process.readLine().trimmed().toInt();
    }
    ~LocalUpdateService()
    {
        m_process.terminate();
        m_process.waitForFinished(60000); // else QProcess kills it
    }

    QString baseUrl() const { return QStringLiteral("https://127.0.0.1:%1/vb6/v1/softwares/").arg(m_port); }
    QList<QSslCertificate> caCertificates() const { return QSslCertificate::fromPath(m_dir.filePath("state/ca.pem")); }
    std::vector<QJsonObject> requests() const
    {
        std::vector<QJsonObject> entries;
        QFile log(m_dir.filePath("requests.jsonl"));
        for (log.open(QIODevice::ReadOnly); !log.atEnd();)
            entries.push_back(QJsonDocument::fromJson(log.readLine()).object());
        return entries;
    }

private:
    fs::path file(const char *name) const { return m_dir.filePath(name).toStdString(); }
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        zip::writeFile(app / "kestrel11.exe", "Kestrel 11 version 11.0.1\n");
        zip::writeFile(app / "mes-notes.txt", "Mes notes : ne pas perdre.\n");
        fs::create_directory(app / "donnees");
        zip::writeFile(app / "donnees" / "mes-reglages.ini", "[affichage]\r\ntheme=sombre\r\n");
        before = zip::snapshot(app);
        before["updates/"] = "";
        updated = before;
        for (const zip::Entry &entry : kPackage)
            updated[entry.path] = entry.data;
    }
    static std::string packageBytes() { return zip::buildZip(kPackage, zip::Compression::Stored); }
    void openWizard(const LocalUpdateService &service, const QString &publicKey = {}, platform::ProxyCredentials *credentials = nullptr)
    {
        window = std::make_unique<wizard::FrmUpdate>(wizard::WizardServices{
            &boxes, &end, nullptr, {&network, service.baseUrl(), {.trustedCa = service.caCertificates()}, publicKey}, appDir.path(), credentials});
        window->show();
        button = window->findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
    }
    // Clicks and lets the wizard work until it waits for the user again (or ends the program).
    void click()
    {
        ASSERT_TRUE(button->isEnabled());
        button->click();
        ASSERT_TRUE(waitUntil([&] { return button->isEnabled() || end.ended > 0; }, std::chrono::minutes(2)));
    }
    QTemporaryDir appDir;
    const fs::path app = appDir.path().toStdString();
    zip::Tree before, updated; // the application folder at the start (with the updates folder the wizard makes), and updated
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    QNetworkAccessManager network;
    std::unique_ptr<wizard::FrmUpdate> window;
    QPushButton *button = nullptr;
};

// One click with the vendor's key: the package the service signed, installed over plain GETs carrying only what the HTTP client sends itself.
TEST_F(EndToEnd, OneClickInstallsThePackageTheVendorSigned)
{
    QTemporaryDir keys;
    const QString keyFile = keys.filePath(QStringLiteral("vendor.pem"));
    QProcess maker; // the service's own command makes the pair and prints the public key
    maker.start(QStringLiteral(KESTREL_PYTHON3), {KESTREL_UPDATE_SERVICE_SCRIPT, "--make-signing-key", keyFile});
    ASSERT_TRUE(maker.waitForFinished(60000));
    const QString publicKey = QString::fromLatin1(maker.readAllStandardOutput().trimmed());
    ASSERT_EQ(publicKey.size(), 44);
    LocalUpdateService service(packageBytes(), {"--signing-key", keyFile});
    openWizard(service, publicKey);

    click();

    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(window->context().currentStep, 5);
    EXPECT_EQ(zip::snapshot(app), updated);
    QStringList requested;
    for (const QJsonObject &request : service.requests()) {
        requested << request.value("method").toString() + ' ' + request.value("path").toString();
        for (const QString &name : request.value("headers").toObject().keys())
            EXPECT_TRUE(QStringList({"host", "connection", "accept-encoding", "accept-language", "user-agent"}).contains(name.toLower()))
                << "header of the wizard's own: " << name.toStdString();
    }
    EXPECT_EQ(requested, QStringList({"GET /vb6/v1/softwares/kestrel11", "GET /vb6/v1/softwares/kestrel11/download"}));
}

// tinyproxy on 127.0.0.1, asking Basic credentials when given "user password"; its log shows the tunnels.
class Tinyproxy {
public:
    explicit Tinyproxy(const QString &basicAuth)
    {
        for (int attempt = 0; attempt < 5 && !m_listening; ++attempt) { // a free port may be taken meanwhile
            port = closedPort();
            zip::writeFile(m_dir.filePath("tinyproxy.conf").toStdString(),
                           QStringLiteral("Port %1\nListen 127.0.0.1\nLogFile \"%2\"\nLogLevel Connect\n%3\n")
                               .arg(port).arg(m_dir.filePath("log"), basicAuth.isEmpty() ? "" : "BasicAuth " + basicAuth).toStdString());
            m_process.start(QStringLiteral("tinyproxy"), {"-d", "-c", m_dir.filePath("tinyproxy.conf")});
            m_process.waitForStarted();
            m_listening = waitUntil([&] {
                QTcpSocket probe;
                probe.connectToHost(QHostAddress::LocalHost, port);
                return probe.waitForConnected(100) || m_process.state() == QProcess::NotRunning;
            }, std::chrono::seconds(30)) && m_process.state() == QProcess::Running;
        }
    }
    ~Tinyproxy() { m_process.terminate(), m_process.waitForFinished(); }
    int tunnels() const
    {
        QFile log(m_dir.filePath("log"));
        return log.open(QIODevice::ReadOnly) ? static_cast<int>(log.readAll().count("CONNECT 127.0.0.1:")) : 0;
    }
    quint16 port = 0;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    bool m_listening = false;
};

struct ScriptedProxyCredentials final : platform::ProxyCredentials {
    bool ask(const QString &proxy, QString &user, QString &password) override
    {
        asked << proxy;
        user = QStringLiteral("kestrel");
        password = answer;
        return true;
    }
    QStringList asked;
    QString answer;
};

// Cut at half and told; the click on "Télécharger" asks for the rest only, and the update completes.
TEST_F(EndToEnd, InterruptedDownloadResumesWhereItStopped)
{
    QTemporaryDir controlDir;
    const std::string control = controlDir.filePath("control.json").toStdString();
    const std::string package = packageBytes();
    const qsizetype half = static_cast<qsizetype>(package.size() / 2);
    zip::writeFile(control, QStringLiteral("{\"download_drop_after\": %1}").arg(half).toStdString());
    LocalUpdateService service(package, {"--control", QString::fromStdString(control)});
    openWizard(service);

    click();
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Téléchargement de la mise à jour"));
    EXPECT_EQ(button->text(), QStringLiteral("Télécharger"));
    zip::writeFile(control, "{}");
    click();

    EXPECT_EQ(zip::snapshot(app), updated);
    const std::vector<QJsonObject> requests = service.requests();
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(requests[2].value("status").toInt(), 206);
    EXPECT_EQ(requests[2].value("headers").toObject().value("Range").toString(), QStringLiteral("bytes=%1-").arg(half));
}

struct ProxyCase {
    const char *name;
    bool running;          // false: nothing listens where the proxy should be
    const char *noProxy;
    const char *basicAuth; // what the proxy asks for
    QString answer;        // the password answered
    int stepAfter;
    QString told;          // the start of the step's box, %1 the proxy's port; empty: no failure
    int asked;
};

class ThroughAProxy : public EndToEnd, public ::testing::WithParamInterface<ProxyCase> {};

// Both requests take the system's proxy unless no_proxy names the host, the certificate checked through the tunnel; a refusal or absence is told.
TEST_P(ThroughAProxy, UpdatesOrTellsWhatTheProxyDid)
{
    const ProxyCase &c = GetParam();
    LocalUpdateService service(packageBytes(), {});
    std::optional<Tinyproxy> proxy;
    if (c.running)
        proxy.emplace(c.basicAuth);
    const quint16 port = proxy ? proxy->port : closedPort();
    qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(port));
    qputenv("no_proxy", c.noProxy);
    platform::useSystemProxy(network);
    ScriptedProxyCredentials credentials;
    credentials.answer = c.answer;
    openWizard(service, {}, &credentials);

    click();

    EXPECT_EQ(window->context().currentStep, c.stepAfter);
    EXPECT_EQ(zip::snapshot(app), c.stepAfter == 5 ? updated : before);
    ASSERT_FALSE(boxes.shown.empty());
    EXPECT_TRUE(c.told.isEmpty() || boxes.shown[0].text.startsWith(c.told.arg(port))) << boxes.shown[0].text.toStdString();
    EXPECT_EQ(credentials.asked.size(), c.asked);
    EXPECT_EQ(proxy && proxy->tunnels() > 0, c.running && !*c.noProxy);
    qunsetenv("https_proxy");
    qunsetenv("no_proxy");
}

INSTANTIATE_TEST_SUITE_P(
    Proxies, ThroughAProxy,
    ::testing::Values(
        ProxyCase{"PassedByForAHostInNoProxy", true, "127.0.0.1", "", {}, 5, {}, 0},
        ProxyCase{"CredentialsAskedThenAccepted", true, "", "kestrel secret", "secret", 5, {}, 1},
        ProxyCase{"CredentialsRefused", true, "", "kestrel secret", "faux", 2,
                  QStringLiteral("Le serveur mandataire (proxy) « 127.0.0.1:%1 » a refusé l'accès"), 1},
        ProxyCase{"ProxyUnreachable", false, "", "", {}, 2, QStringLiteral("Le serveur mandataire (proxy) « 127.0.0.1:%1 » est injoignable"), 0}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
