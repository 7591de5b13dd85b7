#include "os/SystemError.h"

#include <utility>

namespace kestrel::os {

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

} // namespace kestrel::os
