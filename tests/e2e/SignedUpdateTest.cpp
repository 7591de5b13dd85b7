// A wizard holding a vendor key against the local update service signing its records: the
// service's signer and the wizard's verifier meet only here, through the real window.

#include "FakeStepHost.h"
#include "FrmUpdate.h"
#include "LocalUpdateService.h"
#include "ZipBuilder.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <ostream>

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

enum class Service { SignsWithVendorKey, SignsWithAnotherKey, DoesNotSign, ServesAlteredPackage };

struct Case {
    const char *name;
    Service service;
    QStringList boxTitles; // in order
    int stepAfter;         // current step once the click has run its course
};

void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.name;
}

std::map<std::string, std::string> readTree(const fs::path &root)
{
    std::map<std::string, std::string> tree;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        tree[fs::relative(entry.path(), root).generic_string()] =
            entry.is_directory() ? "/" : zip::readFile(entry.path());
    return tree;
}

class SignedUpdate : public ::testing::TestWithParam<Case> {
protected:
    // A key pair made by the service's own command: the private key file, and the public key printed.
    QString makeKey(const QString &name)
    {
        QProcess maker;
        maker.start(QStringLiteral(KESTREL_PYTHON3), {QStringLiteral(KESTREL_UPDATE_SERVICE_SCRIPT),
                                                      QStringLiteral("--make-signing-key"), keys.filePath(name)});
        EXPECT_TRUE(maker.waitForFinished(60000));
        EXPECT_EQ(maker.exitCode(), 0);
        return QString::fromLatin1(maker.readAllStandardOutput().trimmed());
    }

    QTemporaryDir appDir, keys;
    ScriptedBoxes boxes;
    RecordingProgramEnd end;
    QNetworkAccessManager network;
};

TEST_P(SignedUpdate, InstallsOnlyWhatTheVendorSigned)
{
    const Case &c = GetParam();
    const fs::path app = appDir.path().toStdString();
    zip::writeFile(app / "kestrel11.exe", "11.0.1");
    zip::writeFile(app / "mes-notes.txt", "à garder");
    const std::string package = zip::buildZip({{"kestrel11.exe", "11.0.27"}, {"LISEZMOI.txt", "nouveautés"}});

    const QString vendorKey = makeKey(QStringLiteral("vendor.pem"));
    const QString otherKey = makeKey(QStringLiteral("other.pem"));
    ASSERT_EQ(vendorKey.size(), 44);
    QStringList arguments{QStringLiteral("--signing-key"), keys.filePath(
        c.service == Service::SignsWithAnotherKey ? QStringLiteral("other.pem") : QStringLiteral("vendor.pem"))};
    if (c.service == Service::DoesNotSign)
        arguments.clear();
    LocalUpdateService service(QStringLiteral("11.0.27"), package, arguments);
    if (c.service == Service::ServesAlteredPackage) {
        std::string altered = package;
        altered[altered.size() / 2] ^= 0x01;
        zip::writeFile(keys.filePath(QStringLiteral("altered.zip")).toStdString(), altered);
        service.setControl({{QStringLiteral("download_file"), keys.filePath(QStringLiteral("altered.zip"))}});
    }
    const auto before = readTree(app);

    WizardServices services;
    services.messageBoxes = &boxes;
    services.programEnd = &end;
    services.updateService = {&network, service.baseUrl(), {}, vendorKey};
    services.updateService.http.trustedCa = service.caCertificates();
    services.programFolder = appDir.path();
    FrmUpdate window(services);
    window.show();
    auto *button = window.findChild<QPushButton *>(QStringLiteral("CmdUpdate"));
    button->click();
    while (!button->isEnabled() && end.ended == 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    QStringList titles;
    for (const RecordedBox &box : boxes.shown)
        titles << box.title;
    EXPECT_EQ(titles, c.boxTitles);
    EXPECT_EQ(window.context().currentStep, c.stepAfter);
    EXPECT_EQ(end.ended, 0);
    if (c.stepAfter == 5) {
        EXPECT_EQ(zip::readFile(app / "kestrel11.exe"), "11.0.27");
        return;
    }
    // Refused: the application folder as it was, beside an empty updates folder at most.
    auto after = readTree(app);
    EXPECT_EQ(after.erase("updates"), c.stepAfter == 2 ? 1U : 0U);
    EXPECT_EQ(after, before);
    EXPECT_EQ(service.requests().size(), static_cast<size_t>(c.stepAfter));
}

const QString kNotSigned = QStringLiteral("Mise à jour non signée");
const Case kCases[] = {
    {"SignedPackageInstalls", Service::SignsWithVendorKey, {QStringLiteral("Mise à jour")}, 5},
    {"RecordSignedByAnotherKey", Service::SignsWithAnotherKey, {kNotSigned}, 1},
    {"RecordWithoutSignature", Service::DoesNotSign, {kNotSigned}, 1},
    {"PackageAlteredInOneByte", Service::ServesAlteredPackage,
     {QStringLiteral("Téléchargement de la mise à jour")}, 2},
};

INSTANTIATE_TEST_SUITE_P(Services, SignedUpdate, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
