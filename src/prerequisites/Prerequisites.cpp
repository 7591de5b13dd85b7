#include "prerequisites/Prerequisites.h"

#include "core/Paths.h"
#include "core/Product.h"
#include "core/StepHost.h"
#include "core/SupportContact.h"
#include "os/FileSystem.h"
#include "os/SystemProbes.h"
#include "platform/Https.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramEnd.h"
#include "platform/ProgressBar.h"
#include "prerequisites/API.h"
#include "prerequisites/PackageSignature.h"

namespace kestrel::prerequisites {

namespace {

// Far beyond any real version, and keeps the package name well within a file name's limit.
constexpr qsizetype kMaxVersionLength = 64;

bool applicationPresent(const core::UpdateContext &ctx)
{
    return os::isOrdinaryFile((ctx.appFolder + core::kExeName).toUtf8().toStdString());
}

bool applicationRunning()
{
    return os::Windows::IsProcessRunning(core::kExeName);
}

void showNotFoundBox(platform::MessageBoxes &boxes)
{
    boxes.show(QStringLiteral("L'application ") + core::kDisplayName + QStringLiteral(" n'a pas été trouvée sur votre système.")
                   + core::CRLF + QStringLiteral("Veuillez vérifier son installation et réessayer.") + core::SupportContactText(),
               QStringLiteral("Application introuvable"), platform::BoxIcon::Critical, platform::BoxButtons::Ok);
}

// A proxy that refused access or cannot be reached is named; otherwise the box has only the contacts.
void showNoVersionBox(platform::MessageBoxes &boxes, const QString &proxyProblem)
{
    boxes.show(proxyProblem + core::SupportContactText(), QStringLiteral("Mise à jour"), platform::BoxIcon::Critical, platform::BoxButtons::Ok);
}

void showNotSignedBox(platform::MessageBoxes &boxes)
{
    boxes.show(QStringLiteral("Aucune mise à jour signée par l'éditeur de ") + core::kDisplayName
                   + QStringLiteral(" n'a pu être obtenue.") + core::CRLF
                   + QStringLiteral("Par sécurité, rien n'a été téléchargé. Veuillez réessayer plus tard.")
                   + core::SupportContactText(),
               QStringLiteral("Mise à jour non signée"), platform::BoxIcon::Critical, platform::BoxButtons::Ok);
}

bool askWhileRunning(platform::MessageBoxes &boxes)
{
    const platform::BoxAnswer answer =
        boxes.show(QStringLiteral("L'application ") + core::kDisplayName + QStringLiteral(" est actuellement ouverte.") + core::CRLF
                       + QStringLiteral("Veuillez la fermer avant de poursuivre la mise à jour.") + core::SupportContactText(),
                   QStringLiteral("Application en cours d'exécution"), platform::BoxIcon::Critical, platform::BoxButtons::AbortRetryIgnore);
    return answer == platform::BoxAnswer::Retry;
}

// False when the user let the application run: the program is then ended.
bool waitUntilClosed(platform::MessageBoxes &boxes)
{
    if (!applicationRunning())
        return true;
    bool retry = false;
    bool running = false;
    do {
        retry = askWhileRunning(boxes);
        running = applicationRunning();
    } while (retry && running);
    return !applicationRunning();
}

} // namespace

bool isPlainFileNameComponent(const QString &text)
{
    return text.size() <= kMaxVersionLength && core::isPlainFileName(text);
}

bool CheckPrerequisites(core::StepHost &host)
{
    core::UpdateContext &ctx = host.context();
    platform::ProgressBar &bar = host.progressBar();
    platform::MessageBoxes &boxes = host.messageBoxes();

    bar.setValue(bar.min());
    if (!applicationPresent(ctx)) {
        showNotFoundBox(boxes);
        host.programEnd().endProgram();
        return false;
    }
    bar.setValue(bar.max() / 3.0F);

    const QString &publicKey = host.updateService().packagePublicKey;
    API::RecordSignature signature;
    QString proxyProblem;
    ctx.latestVersion = API::GetLatestVersion(core::kSoftwareId, host.updateService(), boxes, &signature, &proxyProblem);
    // The version becomes part of a file name: anything that could leave the updates folder
    // or make an invalid name counts as no version at all.
    if (!isPlainFileNameComponent(ctx.latestVersion))
        ctx.latestVersion.clear();
    if (ctx.latestVersion.isEmpty())
        showNoVersionBox(boxes, proxyProblem);
    ctx.signedDigest.clear();
    if (!publicKey.isEmpty()) {
        // With a vendor key built in, nothing goes further than the record it signed.
        ctx.signedDigest = verifiedPackageDigest(publicKey, ctx.latestVersion, signature.sha256, signature.signature);
        if (ctx.signedDigest.isEmpty()) {
            showNotSignedBox(boxes);
            return false;
        }
    }
    ctx.packageFileName = QStringLiteral("maj_") + core::kSoftwareId + QStringLiteral("_") + ctx.latestVersion
                          + QStringLiteral(".zip");
    bar.setValue((bar.max() + bar.max()) / 3.0F);

    if (!waitUntilClosed(boxes)) {
        host.programEnd().endProgram();
        return false;
    }
    bar.setValue(bar.max());
    return true;
}

} // namespace kestrel::prerequisites
