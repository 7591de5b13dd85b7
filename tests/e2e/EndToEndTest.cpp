// The whole wizard against the local update service: the real window, service client, process
// probe, download control, package signature and installer, over real HTTPS on 127.0.0.1.

#include "core/SupportContact.h"
#include "platform/ProxyAccess.h"
#include "support/FakeStepHost.h"
#include "support/TestKit.h"
#include "support/zip/ZipBuilder.h"
#include "wizard/FrmUpdate.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QSslCertificate>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using zip::Tree;

// The package of 11.0.27: a replaced executable, new files and nested folders; its folder
// "donnees" already exists in the application folder and holds a file of the user's.
const Tree kPackage = {{"kestrel11.exe", "Kestrel 11 version 11.0.27\n"}, {"LISEZMOI.txt", "Nouveautés de 11.0.27\n"},
                       {"donnees/", ""}, {"donnees/modeles/", ""}, {"donnees/langues/", ""},
                       {"donnees/langues/fr.txt", "bonjour=Bonjour\n"},
                       {"donnees/modeles/facture.kmod", "modèle de facture, révision 27\n"}};

std::string packageBytes(zip::Compression compression = zip::Compression::Deflated)
{
    std::vector<zip::Entry> entries;
    for (const auto &[path, data] : kPackage)
        entries.push_back({path, data, path.ends_with('/') ? zip::EntryType::Dir : zip::EntryType::File});
    return zip::buildZip(entries, compression);
}

// The local update service of tools/update-service, a child process of one test with its files in
// a temporary folder, on a free port of 127.0.0.1.
class LocalUpdateService {
public:
    // Serves version 11.0.27 and the package bytes; arguments go to the service's command line.
    LocalUpdateService(const std::string &package, const QStringList &arguments)
    {
        QDir(m_dir.path()).mkdir(QStringLiteral("served"));
        zip::writeFile(file("served/version.txt"), "11.0.27\n");
        zip::writeFile(file("served/package.zip"), package);
        // Its standard error shows in the test's output; the first line of its standard output
        // is the port, once it listens (its CA is made first).
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(KESTREL_PYTHON3),
                        QStringList{KESTREL_UPDATE_SERVICE_SCRIPT, "--folder", m_dir.filePath("served"), "--state-dir",
                                    m_dir.filePath("state"), "--log", m_dir.filePath("requests.jsonl"), "--control",
                                    m_dir.filePath("control.json"), "--port", "0"}
                            + arguments);
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

    // Replaces the answers while the service runs (keys as in the service's control file).
    void setControl(const QJsonObject &control)
    {
        zip::writeFile(file("control.json"), QJsonDocument(control).toJson().toStdString());
    }

    std::vector<QJsonObject> requests() const
    {
        std::vector<QJsonObject> entries;
        QFile log(m_dir.filePath("requests.jsonl"));
        if (log.open(QIODevice::ReadOnly))
            while (!log.atEnd())
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
    }

    void openWizard(const LocalUpdateService &service, platform::MessageBoxes &messageBoxes, const QString &publicKey = {})
    {
        window = std::make_unique<wizard::FrmUpdate>(wizard::WizardServices{
            &messageBoxes, &end, nullptr,
            {&network, service.baseUrl(), {.trustedCa = service.caCertificates()}, publicKey}, appDir.path()});
        window->show();
        button = window->findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
    }

    // Clicks and lets the wizard work until it waits for the user again (or ends the program).
    void click()
    {
        ASSERT_TRUE(button->isEnabled());
        const int endedBefore = end.ended;
        button->click();
        ASSERT_TRUE(waitUntil([&] { return button->isEnabled() || end.ended != endedBefore; }, std::chrono::minutes(2)));
    }

    // The package's files and folders, the user's files, and the updates folder, now empty.
    Tree updatedFolder() const
    {
        Tree expected = before;
        for (const auto &[path, data] : kPackage)
            expected[path] = data;
        return expected;
    }

    QTemporaryDir appDir;
    const fs::path app = appDir.path().toStdString();
    Tree before; // the application folder at the start, with the updates folder the wizard makes
    RecordingProgramEnd end;
    QNetworkAccessManager network;
    std::unique_ptr<wizard::FrmUpdate> window;
    QPushButton *button = nullptr;
};

// The failure is told in a box; mended, a second click completes and "Terminer" ends the program.
TEST_F(EndToEnd, FailedDownloadIsToldAndASecondClickCompletesOnceMended)
{
    LocalUpdateService service(packageBytes(), {"--download-status", "404"});
    ScriptedBoxes boxes;
    openWizard(service, boxes);

    click();

    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].text,
              QStringLiteral("Erreur lors du téléchargement de la mise à jour : 404 Not Found") + core::SupportContactText());
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Téléchargement de la mise à jour"));
    EXPECT_EQ(boxes.shown[0].icon, platform::BoxIcon::Critical);
    EXPECT_EQ(button->text(), QStringLiteral("Télécharger"));
    EXPECT_EQ(zip::snapshot(app), before); // nothing written but the (empty) updates folder

    service.setControl(QJsonObject{{QStringLiteral("download_status"), 200}});
    click();

    EXPECT_EQ(button->text(), QStringLiteral("Terminer"));
    ASSERT_EQ(boxes.shown.size(), 2U);
    EXPECT_EQ(boxes.shown[1].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(boxes.shown[1].icon, platform::BoxIcon::Information);
    EXPECT_EQ(zip::snapshot(app), updatedFolder());

    // Plain GETs carrying only what the HTTP client sends by itself.
    QStringList served;
    const QStringList clientDefaults{"host", "connection", "accept-encoding", "accept-language", "user-agent"};
    for (const QJsonObject &request : service.requests()) {
        served << request.value("method").toString() + ' ' + request.value("path").toString() + ' '
                + QString::number(request.value("status").toInt());
        for (const QString &name : request.value("headers").toObject().keys())
            EXPECT_TRUE(clientDefaults.contains(name.toLower())) << "header of the wizard's own: " << name.toStdString();
    }
    EXPECT_EQ(served, QStringList({"GET /vb6/v1/softwares/kestrel11 200", "GET /vb6/v1/softwares/kestrel11/download 404",
                                   "GET /vb6/v1/softwares/kestrel11/download 200"}));

    click();
    EXPECT_EQ(end.ended, 1);
    EXPECT_EQ(boxes.shown.size(), 2U);
}

// Cut at half and told; the click on "Télécharger" asks for the rest only, so the package
// arrives once in all, and the update completes.
TEST_F(EndToEnd, InterruptedDownloadResumesWhereItStopped)
{
    const std::string package = packageBytes(zip::Compression::Stored);
    const int half = static_cast<int>(package.size() / 2);
    LocalUpdateService service(package, {});
    service.setControl({{QStringLiteral("download_drop_after"), half}});
    ScriptedBoxes boxes;
    openWizard(service, boxes);

    click();
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Téléchargement de la mise à jour"));
    EXPECT_EQ(button->text(), QStringLiteral("Télécharger"));

    service.setControl({});
    click();
    EXPECT_EQ(zip::snapshot(app), updatedFolder());
    const std::vector<QJsonObject> requests = service.requests();
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(requests[2].value("status").toInt(), 206);
    EXPECT_EQ(requests[2].value("headers").toObject().value("Range").toString(), QStringLiteral("bytes=%1-").arg(half));
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
    ~Tinyproxy() { m_process.terminate(); m_process.waitForFinished(); }
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

void PrintTo(const ProxyCase &c, std::ostream *out) { *out << c.name; }

class ThroughAProxy : public EndToEnd, public ::testing::WithParamInterface<ProxyCase> {};

// Both requests take the system's proxy (https_proxy here) unless no_proxy names the host, with
// the service's certificate checked through the tunnel; the proxy's refusal or absence is told.
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
    ScriptedBoxes boxes;
    ScriptedProxyCredentials credentials;
    credentials.answer = c.answer;
    window = std::make_unique<wizard::FrmUpdate>(wizard::WizardServices{&boxes, &end, nullptr,
        {&network, service.baseUrl(), {.trustedCa = service.caCertificates()}, {}}, appDir.path(), &credentials});
    button = window->findChild<QPushButton *>(QStringLiteral("CmdUpdate"));

    click();

    EXPECT_EQ(window->context().currentStep, c.stepAfter);
    EXPECT_EQ(zip::snapshot(app), c.stepAfter == 5 ? updatedFolder() : Tree(before));
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
        ProxyCase{"TakenFromHttpsProxy", true, "", "", {}, 5, {}, 0},
        ProxyCase{"PassedByForAHostInNoProxy", true, "127.0.0.1", "", {}, 5, {}, 0},
        ProxyCase{"CredentialsAskedThenAccepted", true, "", "kestrel secret", "secret", 5, {}, 1},
        ProxyCase{"CredentialsRefused", true, "", "kestrel secret", "faux", 2,
                  QStringLiteral("Le serveur mandataire (proxy) « 127.0.0.1:%1 » a refusé l'accès"), 1},
        ProxyCase{"ProxyUnreachable", false, "", "", {}, 2,
                  QStringLiteral("Le serveur mandataire (proxy) « 127.0.0.1:%1 » est injoignable"), 0}),
    [](const auto &info) { return std::string(info.param.name); });

enum class Fault { None, DamagedEntry, DamagedInTransit };

// What one click does with what the service offers, signed or not, whole or damaged, when the
// wizard holds the vendor's public key.
struct Case {
    const char *name;
    bool serviceSigns; // the service signs its record with the vendor's private key
    Fault fault;       // a flipped byte in the package the record describes, or only in the one sent
    QString boxTitle;
    int stepAfter; // the current step once the click has run its course
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.name; }

class OneClick : public EndToEnd, public ::testing::WithParamInterface<Case> {};

TEST_P(OneClick, InstallsOnlyAWholePackageTheVendorSigned)
{
    const Case &c = GetParam();
    QTemporaryDir keys;
    const QString keyFile = keys.filePath(QStringLiteral("vendor.pem"));
    // The service's own command makes the pair and prints the public key.
    QProcess maker;
    maker.start(QStringLiteral(KESTREL_PYTHON3), {KESTREL_UPDATE_SERVICE_SCRIPT, "--make-signing-key", keyFile});
    ASSERT_TRUE(maker.waitForFinished(60000));
    const QString publicKey = QString::fromLatin1(maker.readAllStandardOutput().trimmed());
    ASSERT_EQ(publicKey.size(), 44);
    const std::string whole = packageBytes(zip::Compression::Stored);
    std::string damaged = whole;
    damaged[zip::dataOffset(damaged, "donnees/modeles/facture.kmod")] ^= 0x5A;
    LocalUpdateService service(c.fault == Fault::DamagedEntry ? damaged : whole,
                               c.serviceSigns ? QStringList{"--signing-key", keyFile} : QStringList{});
    if (c.fault == Fault::DamagedInTransit) {
        zip::writeFile(keys.filePath(QStringLiteral("damaged.zip")).toStdString(), damaged);
        service.setControl({{QStringLiteral("download_file"), keys.filePath(QStringLiteral("damaged.zip"))}});
    }
    ScriptedBoxes boxes;
    openWizard(service, boxes, publicKey);

    click();

    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, c.boxTitle);
    EXPECT_EQ(window->context().currentStep, c.stepAfter);
    // Refused at step 1 nothing is asked for the package; a damaged package waits in the updates
    // folder to be installed again; nothing else is changed unless the update is complete.
    EXPECT_EQ(service.requests().size(), c.stepAfter == 1 ? 1U : 2U);
    Tree expected = c.stepAfter == 5 ? updatedFolder() : before;
    if (c.stepAfter == 1)
        expected.erase("updates/");
    if (c.stepAfter == 3)
        expected["updates/maj_kestrel11_11.0.27.zip"] = damaged;
    EXPECT_EQ(zip::snapshot(app), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Packages, OneClick,
    ::testing::Values(Case{"SignedPackageInstalls", true, Fault::None, QStringLiteral("Mise à jour"), 5},
                      Case{"RecordWithoutSignature", false, Fault::None, QStringLiteral("Mise à jour non signée"), 1},
                      Case{"SignedPackageDamagedInTransit", true, Fault::DamagedInTransit,
                           QStringLiteral("Téléchargement de la mise à jour"), 2},
                      Case{"DamagedPackageLeavesTheFolderAsItWas", true, Fault::DamagedEntry,
                           QStringLiteral("Installation de la mise à jour"), 3}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
