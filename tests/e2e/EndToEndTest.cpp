// The whole wizard against the local update service: the real window, service client,
// process probe, download control and installer, over real HTTPS on 127.0.0.1.

#include "FakeStepHost.h"
#include "FrmUpdate.h"
#include "LocalUpdateService.h"
#include "MessageBoxes.h"
#include "NamedProcess.h"
#include "QtPrinters.h"
#include "SupportContact.h"
#include "ZipBuilder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QJsonArray>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

const QString kNbsp = QString(QChar(0x00A0));
const QString kSucceeded = QStringLiteral("Mise à jour terminée avec succès") + kNbsp + QStringLiteral("!");
const QString kRunningTitle = QStringLiteral("Application en cours d'exécution");
const std::string kRecordPath = "/vb6/v1/softwares/kestrel11";
const std::string kDownloadPath = "/vb6/v1/softwares/kestrel11/download";

const std::string kOldExe = "Kestrel 11 version 11.0.1\n";
const std::string kNewExe = "Kestrel 11 version 11.0.27\n";
const std::string kUserNotes = "Mes notes : ne pas perdre.\n";
const std::string kUserSettings = "[affichage]\r\ntheme=sombre\r\n";

// The package of 11.0.27: a replaced executable, new files and nested folders; its folder
// "donnees" already exists in the application folder and holds a file of the user's.
std::vector<zip::Entry> packageEntries()
{
    return {
        {"kestrel11.exe", kNewExe},
        {"LISEZMOI.txt", "Nouveautés de la version 11.0.27\n"},
        {"donnees/", "", zip::EntryType::Dir},
        {"donnees/modeles/", "", zip::EntryType::Dir},
        {"donnees/modeles/facture.kmod", "modèle de facture, révision 27\n"},
        {"donnees/langues/fr.txt", "bonjour=Bonjour\n"},
    };
}

// Relative path -> content; folders end in '/' and have no content.
using Tree = std::map<std::string, std::string>;

Tree readTree(const fs::path &root)
{
    Tree tree;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).generic_string();
        if (entry.is_directory())
            tree[relative + "/"] = "";
        else
            tree[relative] = zip::readFile(entry.path());
    }
    return tree;
}

Tree packageTree()
{
    Tree tree;
    for (const auto &entry : packageEntries()) {
        tree[entry.path] = entry.data;
        // Parent folders exist even when the archive names only the file.
        for (auto slash = entry.path.find('/'); slash != std::string::npos && slash + 1 < entry.path.size();
             slash = entry.path.find('/', slash + 1))
            tree[entry.path.substr(0, slash + 1)] = "";
    }
    return tree;
}

// A real QMessageBox, dismissed with its default button once it is open; what it showed is kept.
class DismissedRealBoxes final : public MessageBoxes {
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QString pressed;
    };

    BoxAnswer show(const QString &text, const QString &title, BoxIcon icon, BoxButtons buttons) override
    {
        QTimer dismiss;
        dismiss.setInterval(10);
        QObject::connect(&dismiss, &QTimer::timeout, [this, &dismiss] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || !box->defaultButton())
                return;
            dismiss.stop();
            seen.push_back({box->windowTitle(), box->text(), box->icon(), box->defaultButton()->text()});
            box->defaultButton()->click();
        });
        dismiss.start();
        return real.show(text, title, icon, buttons);
    }

    QtMessageBoxes real;
    std::vector<Seen> seen;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(appDir.isValid());
        app = fs::path(appDir.path().toStdString());
        zip::writeFile(app / "kestrel11.exe", kOldExe);
        zip::writeFile(app / "mes-notes.txt", kUserNotes);
        fs::create_directory(app / "donnees");
        zip::writeFile(app / "donnees" / "mes-reglages.ini", kUserSettings);
    }

    void startService(const std::string &package, const QStringList &arguments = {})
    {
        service = std::make_unique<LocalUpdateService>(QStringLiteral("11.0.27"), package, arguments);
    }

    void startService(const QStringList &arguments = {})
    {
        startService(zip::buildZip(packageEntries()), arguments);
    }

    void openWizard(MessageBoxes *messageBoxes = nullptr)
    {
        WizardServices services;
        services.messageBoxes = messageBoxes ? messageBoxes : &boxes;
        services.programEnd = &end;
        services.updateService.network = &network;
        services.updateService.baseUrl = service ? service->baseUrl() : QStringLiteral("https://127.0.0.1:9/");
        if (service)
            services.updateService.http.trustedCa = service->caCertificates();
        services.programFolder = appDir.path();
        window = std::make_unique<FrmUpdate>(services);
        window->show();
        button = window->findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
        info = window->findChild<QLabel *>(QStringLiteral("LblInfo"));
        ASSERT_NE(button, nullptr);
        ASSERT_NE(info, nullptr);
    }

    // Clicks the action button and lets the wizard work until it waits for the user again
    // (the download step gives the button back only when it has finished) or ends.
    void click()
    {
        ASSERT_TRUE(button->isEnabled());
        const int endedBefore = end.ended;
        button->click();
        while (!button->isEnabled() && end.ended == endedBefore)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

    QString statusText() const { return info->text(); }

    static QString closingText(const QString &version)
    {
        return kSucceeded + QStringLiteral("\r\nVous utilisez maintenant la version ") + version
            + QStringLiteral(" de Kestrel 11.\r\nCliquez sur \"Terminer\" pour fermer le programme de mise à jour.");
    }

    void expectFinished(const QString &version)
    {
        EXPECT_EQ(button->text(), QStringLiteral("Terminer"));
        EXPECT_TRUE(button->isEnabled());
        EXPECT_EQ(window->context().currentStep, 5);
        EXPECT_EQ(statusText(), closingText(version));
    }

    static void expectSuccessBox(const RecordedBox &box)
    {
        EXPECT_EQ(box.title, QStringLiteral("Mise à jour"));
        EXPECT_EQ(box.text, kSucceeded + SupportContactText());
        EXPECT_EQ(box.icon, BoxIcon::Information);
    }

    // The package's files and folders, the user's files, and the updates folder, now empty.
    void expectUpdatedFolder()
    {
        Tree expected = packageTree();
        expected["mes-notes.txt"] = kUserNotes;
        expected["donnees/mes-reglages.ini"] = kUserSettings;
        expected["updates/"] = "";
        EXPECT_EQ(readTree(app), expected);
    }

    static std::set<std::string> headerNames(const QJsonObject &request)
    {
        std::set<std::string> names;
        for (const QString &name : request.value(QStringLiteral("headers")).toObject().keys())
            names.insert(name.toLower().toStdString());
        return names;
    }

    static std::string path(const QJsonObject &request)
    {
        return request.value(QStringLiteral("path")).toString().toStdString();
    }

    static int status(const QJsonObject &request) { return request.value(QStringLiteral("status")).toInt(); }

    QTemporaryDir appDir;
    fs::path app;
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    QNetworkAccessManager network;
    std::unique_ptr<LocalUpdateService> service;
    std::unique_ptr<FrmUpdate> window;
    QPushButton *button = nullptr;
    QLabel *info = nullptr;
};

TEST_F(EndToEnd, OneClickUpdatesTheApplicationAndTerminerEndsTheProgram)
{
    startService();
    openWizard();
    ASSERT_EQ(button->text(), QStringLiteral("Commencer"));

    click();

    expectFinished(QStringLiteral("11.0.27"));
    ASSERT_EQ(boxes.shown.size(), 1U);
    expectSuccessBox(boxes.shown[0]);
    expectUpdatedFolder();
    EXPECT_EQ(zip::readFile(app / "kestrel11.exe"), kNewExe);
    EXPECT_FALSE(fs::exists(app / "updates" / "maj_kestrel11_11.0.27.zip"));
    EXPECT_EQ(window->context().packagePath,
              window->context().updatesFolder + QStringLiteral("maj_kestrel11_11.0.27.zip"));

    // Two plain GETs carrying only what the HTTP client sends by itself.
    const std::vector<QJsonObject> requests = service->requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(path(requests[0]), kRecordPath);
    EXPECT_EQ(path(requests[1]), kDownloadPath);
    const std::set<std::string> clientDefaults{"host", "connection", "accept-encoding", "accept-language",
                                               "user-agent"};
    for (const QJsonObject &request : requests) {
        EXPECT_EQ(request.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
        EXPECT_EQ(status(request), 200);
        for (const std::string &name : headerNames(request))
            EXPECT_TRUE(clientDefaults.count(name)) << "header of the wizard's own: " << name;
    }

    click();
    EXPECT_EQ(end.ended, 1);
    EXPECT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(service->stop(), 0) << "the service did not end cleanly on SIGTERM";
}

TEST_F(EndToEnd, RecordAnswering500ShowsTwoBoxesAndTheUpdateGoesOnWithoutAVersion)
{
    startService({QStringLiteral("--record-status"), QStringLiteral("500")});
    openWizard();

    click();

    ASSERT_EQ(boxes.shown.size(), 3U);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("Erreur lors de la requête. Statut : 500 Internal Server Error"));
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Critical);
    EXPECT_EQ(boxes.shown[1].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(boxes.shown[1].text, SupportContactText());
    EXPECT_EQ(boxes.shown[1].icon, BoxIcon::Critical);
    expectSuccessBox(boxes.shown[2]);

    EXPECT_EQ(window->context().packageFileName, QStringLiteral("maj_kestrel11_.zip"));
    expectFinished(QString());
    expectUpdatedFolder();
    EXPECT_FALSE(fs::exists(app / "updates" / "maj_kestrel11_.zip"));

    const std::vector<QJsonObject> requests = service->requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(status(requests[0]), 500);
    EXPECT_EQ(path(requests[1]), kDownloadPath);
    EXPECT_EQ(status(requests[1]), 200);
}

TEST_F(EndToEnd, FailedDownloadIsToldInARealBoxAndASecondClickCompletesOnceMended)
{
    startService({QStringLiteral("--download-status"), QStringLiteral("404")});
    DismissedRealBoxes realBoxes;
    openWizard(&realBoxes);
    realBoxes.real.setParent(window.get());
    const Tree before = readTree(app);

    click();

    ASSERT_EQ(realBoxes.seen.size(), 1U);
    EXPECT_EQ(realBoxes.seen[0].title, QStringLiteral("Téléchargement de la mise à jour"));
    QString told = QStringLiteral("Erreur lors du téléchargement de la mise à jour : 404 Not Found") + SupportContactText();
    EXPECT_EQ(realBoxes.seen[0].text, told.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    EXPECT_EQ(realBoxes.seen[0].icon, QMessageBox::Critical);
    EXPECT_EQ(button->text(), QStringLiteral("Télécharger"));
    EXPECT_EQ(window->context().currentStep, 2);
    // Nothing written but the (empty) updates folder.
    Tree expected = before;
    expected["updates/"] = "";
    EXPECT_EQ(readTree(app), expected);

    service->setControl(QJsonObject{{QStringLiteral("download_status"), 200}});
    click();

    expectFinished(QStringLiteral("11.0.27"));
    ASSERT_EQ(realBoxes.seen.size(), 2U);
    EXPECT_EQ(realBoxes.seen[1].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(realBoxes.seen[1].icon, QMessageBox::Information);
    EXPECT_TRUE(realBoxes.seen[1].text.startsWith(kSucceeded));
    expectUpdatedFolder();

    const std::vector<QJsonObject> requests = service->requests();
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(path(requests[1]), kDownloadPath);
    EXPECT_EQ(status(requests[1]), 404);
    EXPECT_EQ(path(requests[2]), kDownloadPath);
    EXPECT_EQ(status(requests[2]), 200);
}

// Packages that cannot be installed: refused before anything in the application folder changes.
TEST_F(EndToEnd, BadPackagesAreRefusedAndLeaveTheApplicationFolderAsItWas)
{
    std::string notAZip;
    for (int i = 0; i < 2000; ++i)
        notAZip += "Ceci n'est pas une archive zip. ";
    // A real zip whose third entry fails its checksum: kestrel11.exe, the first, stays old too.
    std::string damaged = zip::buildZip(packageEntries(), zip::Compression::Stored);
    damaged[zip::dataOffset(damaged, "donnees/modeles/facture.kmod")] ^= 0x5A;
    const QString installFailed = QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : \r\n");
    const struct {
        const char *name;
        std::string package;
        QString textStart;
    } rows[] = {
        {"not a zip", notAZip, QStringLiteral("Impossible d'ouvrir le fichier d'installation.")},
        {"damaged entry", damaged, installFailed},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        window.reset();
        service.reset();
        boxes.shown.clear();
        fs::remove_all(app / "updates");
        startService(row.package);
        openWizard();
        const Tree before = readTree(app);

        click();

        ASSERT_EQ(boxes.shown.size(), 1U);
        EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Installation de la mise à jour"));
        EXPECT_TRUE(boxes.shown[0].text.startsWith(row.textStart));
        EXPECT_TRUE(boxes.shown[0].text.endsWith(SupportContactText()));
        EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Critical);
        EXPECT_EQ(button->text(), QStringLiteral("Installer"));
        EXPECT_TRUE(button->isEnabled());
        EXPECT_EQ(window->context().currentStep, 3);

        // The downloaded package waits in the updates folder; nothing else changed.
        Tree expected = before;
        expected["updates/"] = "";
        expected["updates/maj_kestrel11_11.0.27.zip"] = row.package;
        EXPECT_EQ(readTree(app), expected);
    }
}

TEST_F(EndToEnd, RunningApplicationIsAskedToCloseAndRetryCompletesTheUpdate)
{
    startService();
    openWizard();
    NamedProcess running("kestrel11.exe");
    boxes.answers = {BoxAnswer::Retry};
    boxes.onShow = [&running](const RecordedBox &box) {
        // The user closes the application while the box is open.
        if (box.title == kRunningTitle)
            running.stop();
    };

    click();

    ASSERT_EQ(boxes.shown.size(), 2U);
    EXPECT_EQ(boxes.shown[0].title, kRunningTitle);
    EXPECT_EQ(boxes.shown[0].buttons, BoxButtons::AbortRetryIgnore);
    EXPECT_EQ(boxes.shown[0].text,
              QStringLiteral("L'application Kestrel 11 est actuellement ouverte.\r\n"
                             "Veuillez la fermer avant de poursuivre la mise à jour.")
                  + SupportContactText());
    expectSuccessBox(boxes.shown[1]);
    EXPECT_EQ(end.ended, 0);
    expectFinished(QStringLiteral("11.0.27"));
    expectUpdatedFolder();
}

TEST_F(EndToEnd, MissingApplicationEndsTheProgramWithNothingTouchedAndNoRequest)
{
    fs::remove(app / "kestrel11.exe");
    startService();
    openWizard();
    const Tree before = readTree(app);

    click();

    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Application introuvable"));
    EXPECT_EQ(boxes.shown[0].text,
              QStringLiteral("L'application Kestrel 11 n'a pas été trouvée sur votre système.\r\n"
                             "Veuillez vérifier son installation et réessayer.")
                  + SupportContactText());
    EXPECT_EQ(end.ended, 1);
    EXPECT_EQ(window->context().currentStep, 1);
    EXPECT_EQ(readTree(app), before);
    EXPECT_TRUE(service->requests().empty());
}

} // namespace
} // namespace kestrel::test
