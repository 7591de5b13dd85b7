// A wizard holding a vendor key against the local update service signing its records: the
// service's signer and the wizard's verifier meet only here, through the real window.

#include "FakeStepHost.h"
#include "FrmUpdate.h"
#include "LocalUpdateService.h"
#include "ZipBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>

namespace kestrel::test {
namespace {

struct Case {
    const char *name;
    QStringList serviceArguments; // "KEY" stands for the vendor's private key file
    bool servesAlteredPackage;
    QString boxTitle;
    int stepAfter; // the current step once the click has run its course
};

void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.name;
}

class SignedUpdate : public ::testing::TestWithParam<Case> {};

TEST_P(SignedUpdate, InstallsOnlyWhatTheVendorSigned)
{
    const Case &c = GetParam();
    QTemporaryDir appDir, keys;
    const std::filesystem::path app = appDir.path().toStdString();
    zip::writeFile(app / "kestrel11.exe", "11.0.1");
    const std::string package = zip::buildZip({{"kestrel11.exe", "11.0.27"}, {"LISEZMOI.txt", "nouveautés"}});

    // The key pair comes from the service's own command, which prints the public key.
    const QString keyFile = keys.filePath(QStringLiteral("vendor.pem"));
    QProcess maker;
    maker.start(QStringLiteral(KESTREL_PYTHON3),
                {QStringLiteral(KESTREL_UPDATE_SERVICE_SCRIPT), QStringLiteral("--make-signing-key"), keyFile});
    ASSERT_TRUE(maker.waitForFinished(60000));
    const QString publicKey = QString::fromLatin1(maker.readAllStandardOutput().trimmed());
    ASSERT_EQ(publicKey.size(), 44);

    QStringList arguments = c.serviceArguments;
    LocalUpdateService service(QStringLiteral("11.0.27"), package,
                               arguments.replaceInStrings(QStringLiteral("KEY"), keyFile));
    if (c.servesAlteredPackage) {
        std::string altered = package;
        altered[altered.size() / 2] ^= 0x01;
        zip::writeFile(keys.filePath(QStringLiteral("altered.zip")).toStdString(), altered);
        service.setControl({{QStringLiteral("download_file"), keys.filePath(QStringLiteral("altered.zip"))}});
    }

    QNetworkAccessManager network;
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &end;
    services.updateService = {&network, service.baseUrl(), {}, publicKey};
    services.updateService.http.trustedCa = service.caCertificates();
    services.programFolder = appDir.path();
    FrmUpdate window(services);
    window.show();
    auto *button = window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
    button->click();
    while (!button->isEnabled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].title, c.boxTitle);
    EXPECT_EQ(window.context().currentStep, c.stepAfter);
    EXPECT_EQ(zip::readFile(app / "kestrel11.exe"), c.stepAfter == 5 ? "11.0.27" : "11.0.1");
    // Refused at step 1 nothing is asked for the package; at step 2 nothing of it is kept.
    EXPECT_EQ(service.requests().size(), c.stepAfter == 1 ? 1U : 2U);
    EXPECT_TRUE(QDir(appDir.filePath(QStringLiteral("updates"))).isEmpty());
    EXPECT_EQ(QDir(appDir.path()).entryList(QDir::Files).size(), c.stepAfter == 5 ? 2 : 1);
}

const Case kCases[] = {
    {"SignedPackageInstalls", {QStringLiteral("--signing-key"), QStringLiteral("KEY")}, false,
     QStringLiteral("Mise à jour"), 5},
    {"RecordWithoutSignature", {}, false, QStringLiteral("Mise à jour non signée"), 1},
    {"PackageAlteredInOneByte", {QStringLiteral("--signing-key"), QStringLiteral("KEY")}, true,
     QStringLiteral("Téléchargement de la mise à jour"), 2},
};

INSTANTIATE_TEST_SUITE_P(Services, SignedUpdate, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
