#include "install/InstallErrors.h"

#include "core/Product.h"

namespace kestrel::install {

std::string displayPath(const std::filesystem::path &path)
{
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

namespace message {

namespace {

const char *const kUnchanged = " Aucun fichier n'a été modifié.";
const std::string kPrevious = std::string(" ") + core::kDisplayName + " reste dans sa version précédente.";

std::string quoted(const std::string &text)
{
    return "« " + text + " »";
}

std::string megabytes(std::uintmax_t bytes)
{
    return std::to_string((bytes + 1048575) / 1048576);
}

} // namespace

const std::string kMarkerText = std::string("Dossier temporaire de l'assistant de mise à jour de ")
    + core::kDisplayName + ". Il peut être supprimé." + core::CRLF;

std::optional<std::string> refusal(const std::string &path, PathVerdict verdict, EntryKind kind)
{
    const char *reason = nullptr;
    switch (verdict) {
    case PathVerdict::Absolute: reason = "désigne un chemin absolu"; break;
    case PathVerdict::DriveOrStream: reason = "contient une lettre de lecteur ou le caractère « : »"; break;
    case PathVerdict::ParentStep: reason = "remonte hors du dossier de l'application (« .. »)"; break;
    case PathVerdict::Root:
        if (kind != EntryKind::Folder)
            reason = "n'a pas de nom";
        break;
    case PathVerdict::Inside: break;
    }
    if (!reason) {
        switch (kind) {
        case EntryKind::SymbolicLink: reason = "est un lien symbolique"; break;
        case EntryKind::HardLink: reason = "est un lien physique"; break;
        case EntryKind::Special: reason = "est un fichier spécial (périphérique, tube ou socket)"; break;
        default: return std::nullopt;
        }
    }
    return "Le fichier d'installation a été refusé : l'élément " + quoted(path) + " " + reason + "." + kUnchanged;
}

std::string reservedPath(const std::string &path)
{
    return "Le fichier d'installation a été refusé : l'élément " + quoted(path)
        + " remplacerait un fichier de l'assistant de mise à jour." + kUnchanged;
}

std::string damaged(const std::string &path)
{
    const std::string which = path.empty() ? std::string() : " (élément " + quoted(path) + ")";
    return "Le fichier d'installation est endommagé ou incomplet" + which + "." + kUnchanged;
}

std::string nothingToInstall()
{
    return "Le fichier d'installation ne contient aucun fichier à installer.";
}

std::string changedPackage()
{
    return std::string("Le fichier d'installation a changé pendant sa lecture.") + kUnchanged;
}

std::string missingParent(const std::filesystem::path &target)
{
    return "Impossible de créer le dossier " + quoted(displayPath(target)) + " : son dossier parent n'existe pas."
        + kUnchanged;
}

std::string noSpace(std::uintmax_t needed, std::uintmax_t available)
{
    return "Espace disque insuffisant : la mise à jour a besoin de " + megabytes(needed) + " Mo et seuls "
        + megabytes(available) + " Mo sont disponibles." + kUnchanged;
}

std::string foreignStaging(const std::filesystem::path &staging)
{
    return "Le dossier " + quoted(displayPath(staging))
        + " existe déjà mais n'a pas été créé par l'assistant de mise à jour. "
          "Déplacez-le ou supprimez-le, puis recommencez." + kUnchanged;
}

std::string cannotClearStaging(const std::filesystem::path &staging, const std::error_code &error)
{
    return "Impossible de supprimer le dossier temporaire " + quoted(displayPath(staging))
        + " laissé par une installation interrompue : " + os::frenchSystemError(error) + "." + kUnchanged;
}

std::string stagingError(const std::filesystem::path &path, const std::error_code &error)
{
    return "Impossible d'écrire " + quoted(displayPath(path)) + " dans le dossier temporaire : "
        + os::frenchSystemError(error) + "." + kUnchanged;
}

std::string cannotCreateTarget(const std::filesystem::path &target, const std::error_code &error)
{
    return "Impossible de créer le dossier " + quoted(displayPath(target)) + " : " + os::frenchSystemError(error) + "."
        + kUnchanged;
}

std::string folderReplacedByFile(const std::string &name)
{
    return quoted(name) + " est un dossier dans le dossier de l'application ; la mise à jour ne peut pas "
                          "le remplacer par un fichier." + kUnchanged;
}

std::string fileReplacedByFolder(const std::string &name)
{
    return quoted(name) + " existe dans le dossier de l'application sans être un dossier ; la mise à jour "
                          "ne peut pas y placer son dossier." + kUnchanged;
}

std::string notWritable(const std::string &name)
{
    return "Le dossier " + quoted(name) + " de l'application ne peut pas être modifié : accès refusé." + kUnchanged;
}

std::string otherVolume(const std::string &name)
{
    return "Le dossier " + quoted(name)
        + " de l'application n'est pas sur le même disque que le dossier des mises à jour." + kUnchanged;
}

std::string switchUndone(const std::string &name, const std::error_code &error)
{
    return "Impossible de mettre en place " + quoted(name) + " : " + os::frenchSystemError(error) + "." + kPrevious;
}

std::string switchNotUndone(const std::string &name, const std::error_code &error)
{
    return "Impossible de mettre en place " + quoted(name) + " : " + os::frenchSystemError(error)
        + ". Les fichiers d'origine n'ont pas encore pu être tous remis en place ; ils le seront au prochain "
          "démarrage de l'assistant de mise à jour.";
}

std::string leftoverNotRecovered(const std::string &detail)
{
    return "Une mise à jour précédente a été interrompue et n'a pas pu être annulée : " + detail
        + ". Des fichiers de " + core::kDisplayName
        + " sont peut-être encore dans le dossier des mises à jour ; l'assistant réessaiera à son prochain démarrage.";
}

std::string unreadableRecord(const std::filesystem::path &record)
{
    return "son relevé " + quoted(displayPath(record)) + " est illisible";
}

std::string notPutBack(const std::string &name, const std::error_code &error)
{
    return "impossible de remettre en place " + quoted(name) + " (" + os::frenchSystemError(error) + ")";
}

std::string overlappingZipEntries(const std::string &first, const std::string &second)
{
    return "Le fichier d'installation est mal formé : les données des éléments " + quoted(first) + " et "
        + quoted(second) + " se chevauchent." + kUnchanged;
}

std::string zipEntryIntoDirectory(const std::string &entry)
{
    return "Le fichier d'installation est mal formé : les données de l'élément " + quoted(entry)
        + " empiètent sur le répertoire de l'archive." + kUnchanged;
}

std::string impossibleZipEntrySize(const std::string &entry)
{
    return "Le fichier d'installation est mal formé : l'élément " + quoted(entry)
        + " annonce plus de données que sa taille compressée ne peut en contenir." + kUnchanged;
}

std::string encryptedZipEntry(const std::string &entry)
{
    return "Le fichier d'installation contient des éléments chiffrés (dont " + quoted(entry)
        + ") : l'assistant de mise à jour ne peut pas les installer." + kUnchanged;
}

std::string unsupportedCompression(const std::string &entry, std::uint64_t method)
{
    return "Le fichier d'installation utilise pour l'élément " + quoted(entry) + " une méthode de compression (n° "
        + std::to_string(method)
        + ") que l'assistant de mise à jour n'accepte pas : seules les méthodes « stockée » et « deflate » le sont."
        + kUnchanged;
}

std::string vanishedUndone(const std::string &name)
{
    return "Le nouveau fichier " + quoted(name)
        + " a disparu avant d'être mis en place (un antivirus l'a peut-être mis en quarantaine). "
          "Les fichiers d'origine ont été remis en place :"
        + kPrevious;
}

std::string tooLarge()
{
    return std::string("Le fichier d'installation annonce plus de données qu'aucun disque ne peut en contenir.")
        + kUnchanged;
}

std::string unreadableZipDirectory()
{
    return std::string("Le fichier d'installation est endommagé ou incomplet : "
                       "le répertoire de l'archive est incohérent.")
        + kUnchanged;
}

std::string outOfMemory()
{
    return "Mémoire insuffisante pour installer la mise à jour.";
}

std::string fileSystem(const std::error_code &error)
{
    return "Erreur du système de fichiers : " + os::frenchSystemError(error) + ".";
}

} // namespace message

} // namespace kestrel::install
