// The whole wizard against the local update service: the real window, service client,
// process probe, download control and installer, over real HTTPS on 127.0.0.1.

#include "Application.h"
#include "FakeStepHost.h"
#include "FrmUpdate.h"
#include "LocalUpdateService.h"
#include "MessageBoxes.h"
#include "QtPrinters.h"
#include "SupportContact.h"
#include "TestKit.h"
#include "ZipBuilder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <utility>

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

const QString kNbsp = QString(QChar(0x00A0));
const QString kSucceeded = QStringLiteral("Mise à jour terminée avec succès") + kNbsp + QStringLiteral("!");
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

using zip::Tree;

// A real QMessageBox, dismissed with its default button once it is open; what it showed is kept.
class DismissedRealBoxes final : public MessageBoxes {
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon;
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
            seen.push_back({box->windowTitle(), box->text(), box->icon()});
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

    void openWizard(MessageBoxes *messageBoxes = nullptr)
    {
        WizardServices services;
        services.messageBoxes = messageBoxes ? messageBoxes : &boxes;
        services.programEnd = &end;
        services.updateService.network = &network;
        services.updateService.baseUrl = service->baseUrl();
        services.updateService.http.trustedCa = service->caCertificates();
        services.programFolder = appDir.path();
        window = std::make_unique<FrmUpdate>(services);
        window->show();
        button = window->findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
        ASSERT_NE(button, nullptr);
    }

    // Clicks the action button and lets the wizard work until it waits for the user again
    // (the download step gives the button back only when it has finished) or ends.
    void click()
    {
        ASSERT_TRUE(button->isEnabled());
        const int endedBefore = end.ended;
        button->click();
        ASSERT_TRUE(waitUntil([&] { return button->isEnabled() || end.ended != endedBefore; }, std::chrono::minutes(2)));
    }

    void expectFinished()
    {
        EXPECT_EQ(button->text(), QStringLiteral("Terminer"));
        EXPECT_TRUE(button->isEnabled());
        EXPECT_EQ(window->context().currentStep, 5);
    }

    // The package's files and folders, the user's files, and the updates folder, now empty.
    void expectUpdatedFolder()
    {
        const Tree expected = {{"kestrel11.exe", kNewExe}, {"LISEZMOI.txt", packageEntries()[1].data},
                               {"donnees/", ""}, {"donnees/modeles/", ""}, {"donnees/langues/", ""},
                               {"donnees/modeles/facture.kmod", packageEntries()[4].data},
                               {"donnees/langues/fr.txt", packageEntries()[5].data},
                               {"mes-notes.txt", kUserNotes}, {"donnees/mes-reglages.ini", kUserSettings},
                               {"updates/", ""}};
        EXPECT_EQ(zip::snapshot(app), expected);
    }

    // Path and status of each request the service received, in order.
    std::vector<std::pair<std::string, int>> served() const
    {
        std::vector<std::pair<std::string, int>> list;
        for (const QJsonObject &request : service->requests())
            list.emplace_back(request.value(QStringLiteral("path")).toString().toStdString(),
                              request.value(QStringLiteral("status")).toInt());
        return list;
    }

    QTemporaryDir appDir;
    fs::path app;
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    QNetworkAccessManager network;
    std::unique_ptr<LocalUpdateService> service;
    std::unique_ptr<FrmUpdate> window;
    QPushButton *button = nullptr;
};

TEST_F(EndToEnd, OneClickUpdatesTheApplicationAndTerminerEndsTheProgram)
{
    startService(zip::buildZip(packageEntries()));
    openWizard();
    ASSERT_EQ(button->text(), QStringLiteral("Commencer"));

    click();

    expectFinished();
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Information);
    expectUpdatedFolder();
    EXPECT_EQ(zip::readFile(app / "kestrel11.exe"), kNewExe);
    EXPECT_FALSE(fs::exists(app / "updates" / "maj_kestrel11_11.0.27.zip"));
    EXPECT_EQ(window->context().packagePath,
              window->context().updatesFolder + QStringLiteral("maj_kestrel11_11.0.27.zip"));

    // Two plain GETs carrying only what the HTTP client sends by itself.
    EXPECT_EQ(served(), (std::vector<std::pair<std::string, int>>{{kRecordPath, 200}, {kDownloadPath, 200}}));
    const QStringList clientDefaults{"host", "connection", "accept-encoding", "accept-language", "user-agent"};
    for (const QJsonObject &request : service->requests()) {
        EXPECT_EQ(request.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
        for (const QString &name : request.value(QStringLiteral("headers")).toObject().keys())
            EXPECT_TRUE(clientDefaults.contains(name.toLower())) << "header of the wizard's own: " << name.toStdString();
    }

    click();
    EXPECT_EQ(end.ended, 1);
    EXPECT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(service->stop(), 0) << "the service did not end cleanly on SIGTERM";
}

TEST_F(EndToEnd, FailedDownloadIsToldInARealBoxAndASecondClickCompletesOnceMended)
{
    startService(zip::buildZip(packageEntries()), {QStringLiteral("--download-status"), QStringLiteral("404")});
    DismissedRealBoxes realBoxes;
    openWizard(&realBoxes);
    realBoxes.real.setParent(window.get());
    const Tree before = zip::snapshot(app);

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
    EXPECT_EQ(zip::snapshot(app), expected);

    service->setControl(QJsonObject{{QStringLiteral("download_status"), 200}});
    click();

    expectFinished();
    ASSERT_EQ(realBoxes.seen.size(), 2U);
    EXPECT_EQ(realBoxes.seen[1].title, QStringLiteral("Mise à jour"));
    EXPECT_EQ(realBoxes.seen[1].icon, QMessageBox::Information);
    EXPECT_TRUE(realBoxes.seen[1].text.startsWith(kSucceeded));
    expectUpdatedFolder();

    EXPECT_EQ(served(), (std::vector<std::pair<std::string, int>>{
                            {kRecordPath, 200}, {kDownloadPath, 404}, {kDownloadPath, 200}}));
}

// A package that cannot be installed is refused before anything in the application folder changes:
// here a real zip whose third entry fails its checksum, so that kestrel11.exe, the first, stays old too.
TEST_F(EndToEnd, DamagedPackageIsRefusedAndLeavesTheApplicationFolderAsItWas)
{
    std::string damaged = zip::buildZip(packageEntries(), zip::Compression::Stored);
    damaged[zip::dataOffset(damaged, "donnees/modeles/facture.kmod")] ^= 0x5A;
    startService(damaged);
    openWizard();
    Tree expected = zip::snapshot(app);

    click();

    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Installation de la mise à jour"));
    EXPECT_TRUE(boxes.shown[0].text.startsWith(
        QStringLiteral("Une erreur est survenue lors de l'installation de la mise à jour : \r\n")));
    EXPECT_EQ(button->text(), QStringLiteral("Installer"));
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(window->context().currentStep, 3);
    // The downloaded package waits in the updates folder; nothing else changed.
    expected["updates/"] = "";
    expected["updates/maj_kestrel11_11.0.27.zip"] = damaged;
    EXPECT_EQ(zip::snapshot(app), expected);
}

} // namespace
} // namespace kestrel::test
