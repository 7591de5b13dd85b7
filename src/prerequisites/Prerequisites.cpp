#include "Prerequisites.h"

#include "API.h"
#include "FileSystem.h"
#include "Https.h"
#include "MessageBoxes.h"
#include "PackageSignature.h"
#include "ProgramEnd.h"
#include "ProgressBar.h"
#include "Product.h"
#include "StepHost.h"
#include "SupportContact.h"
#include "SystemProbes.h"

namespace kestrel {

namespace {

// Far beyond any real version, and keeps the package name well within a file name's limit.
constexpr qsizetype kMaxVersionLength = 64;

bool applicationPresent(const UpdateContext &ctx)
{
    return platform::isOrdinaryFile((ctx.appFolder + kExeName).toUtf8().toStdString());
}

bool applicationRunning()
{
    return Windows::IsProcessRunning(kExeName.toStdString());
}

void showNotFoundBox(MessageBoxes &boxes)
{
    boxes.show(QStringLiteral("L'application ") + kDisplayName + QStringLiteral(" n'a pas été trouvée sur votre système.")
                   + CRLF + QStringLiteral("Veuillez vérifier son installation et réessayer.") + SupportContactText(),
               QStringLiteral("Application introuvable"), BoxIcon::Critical, BoxButtons::Ok);
}

// A proxy that refused access or cannot be reached is named; otherwise the box has only the contacts.
void showNoVersionBox(MessageBoxes &boxes, const QString &proxyProblem)
{
    boxes.show(proxyProblem + SupportContactText(), QStringLiteral("Mise à jour"), BoxIcon::Critical, BoxButtons::Ok);
}

void showNotSignedBox(MessageBoxes &boxes)
{
    boxes.show(QStringLiteral("Aucune mise à jour signée par l'éditeur de ") + kDisplayName
                   + QStringLiteral(" n'a pu être obtenue.") + CRLF
                   + QStringLiteral("Par sécurité, rien n'a été téléchargé. Veuillez réessayer plus tard.")
                   + SupportContactText(),
               QStringLiteral("Mise à jour non signée"), BoxIcon::Critical, BoxButtons::Ok);
}

bool askWhileRunning(MessageBoxes &boxes)
{
    const BoxAnswer answer =
        boxes.show(QStringLiteral("L'application ") + kDisplayName + QStringLiteral(" est actuellement ouverte.") + CRLF
                       + QStringLiteral("Veuillez la fermer avant de poursuivre la mise à jour.") + SupportContactText(),
                   QStringLiteral("Application en cours d'exécution"), BoxIcon::Critical, BoxButtons::AbortRetryIgnore);
    return answer == BoxAnswer::Retry;
}

// False when the user let the application run: the program is then ended.
bool waitUntilClosed(MessageBoxes &boxes)
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
    static const QString forbidden = QStringLiteral("/\\<>:\"|?*");
    if (text.isEmpty() || text.size() > kMaxVersionLength || text == QLatin1String(".")
        || text == QLatin1String("..") || !text.isValidUtf16())
        return false;
    if (text.front().isSpace() || text.back().isSpace() || text.back() == QLatin1Char('.'))
        return false;
    for (const QChar ch : text) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f || ch.category() == QChar::Other_Control
            || forbidden.contains(ch))
            return false;
    }
    return true;
}

bool CheckPrerequisites(StepHost &host)
{
    UpdateContext &ctx = host.context();
    ProgressBar &bar = host.progressBar();
    MessageBoxes &boxes = host.messageBoxes();

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
    ctx.latestVersion = API::GetLatestVersion(kSoftwareId, host.updateService(), boxes, &signature, &proxyProblem);
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
    ctx.packageFileName = QStringLiteral("maj_") + kSoftwareId + QStringLiteral("_") + ctx.latestVersion
                          + QStringLiteral(".zip");
    bar.setValue((bar.max() + bar.max()) / 3.0F);

    if (!waitUntilClosed(boxes)) {
        host.programEnd().endProgram();
        return false;
    }
    bar.setValue(bar.max());
    return true;
}

} // namespace kestrel
