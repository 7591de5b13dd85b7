#include "InstallErrors.h"

#include <utility>

namespace kestrel::install {

std::string frenchSystemError(const std::error_code &error)
{
    static const std::pair<std::errc, const char *> known[] = {
        {std::errc::no_space_on_device, "espace disque insuffisant"},
        {std::errc::permission_denied, "accès refusé"},
        {std::errc::operation_not_permitted, "opération non autorisée"},
        {std::errc::read_only_file_system, "le disque est en lecture seule"},
        {std::errc::no_such_file_or_directory, "fichier ou dossier introuvable"},
        {std::errc::file_exists, "un élément du même nom existe déjà"},
        {std::errc::filename_too_long, "nom de fichier trop long"},
        {std::errc::text_file_busy, "fichier en cours d'utilisation"},
        {std::errc::device_or_resource_busy, "fichier en cours d'utilisation"},
        {std::errc::not_a_directory, "un élément du chemin n'est pas un dossier"},
        {std::errc::is_a_directory, "un dossier porte déjà ce nom"},
        {std::errc::directory_not_empty, "le dossier n'est pas vide"},
        {std::errc::too_many_files_open, "trop de fichiers ouverts"},
        {std::errc::io_error, "erreur de lecture ou d'écriture sur le disque"},
        {std::errc::file_too_large, "fichier trop volumineux"},
        {std::errc::too_many_symbolic_link_levels, "lien symbolique inattendu"},
        {std::errc::cross_device_link, "déplacement impossible d'un disque à un autre"},
        {std::errc::not_enough_memory, "mémoire insuffisante"},
    };
    for (const auto &[condition, text] : known) {
        if (error == condition)
            return text;
    }
    return "erreur système n° " + std::to_string(error.value());
}

std::string displayPath(const std::filesystem::path &path)
{
    const std::u8string text = path.u8string();
    return {text.begin(), text.end()};
}

namespace {

const char *const kNothingChanged = " Aucun fichier n'a été modifié.";

std::string inQuotes(const std::string &text)
{
    return "« " + text + " »";
}

} // namespace

std::string overlappingZipEntries(const std::string &first, const std::string &second)
{
    return "Le fichier d'installation est mal formé : les données des éléments " + inQuotes(first) + " et "
        + inQuotes(second) + " se chevauchent." + kNothingChanged;
}

std::string zipEntryIntoDirectory(const std::string &entry)
{
    return "Le fichier d'installation est mal formé : les données de l'élément " + inQuotes(entry)
        + " empiètent sur le répertoire de l'archive." + kNothingChanged;
}

std::string impossibleZipEntrySize(const std::string &entry)
{
    return "Le fichier d'installation est mal formé : l'élément " + inQuotes(entry)
        + " annonce plus de données que sa taille compressée ne peut en contenir." + kNothingChanged;
}

std::string encryptedZipEntry(const std::string &entry)
{
    return "Le fichier d'installation contient des éléments chiffrés (dont " + inQuotes(entry)
        + ") : l'assistant de mise à jour ne peut pas les installer." + kNothingChanged;
}

std::string unreadableZipDirectory()
{
    return std::string("Le fichier d'installation est endommagé ou incomplet : "
                       "le répertoire de l'archive est incohérent.")
        + kNothingChanged;
}

} // namespace kestrel::install
