// Hostile, damaged and malformed packages: refused before anything in or around the application folder changes.

#include "install/InstallFixture.h"

#include <optional>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

using zip::Entry;
using zip::EntryType;

// The package's bytes, or nothing for no file at all.
using Package = std::function<std::optional<std::string>(const fs::path &parent)>;

const Entry kGood{"kestrel11.exe", "nouvelle version"};
const std::vector<Entry> kThree = {
    {"kestrel11.exe", std::string(20000, 'a')}, {"aide/index.html", std::string(30000, 'b')}, {"LISEZMOI.txt", "Version 11.2"}};

// "@parent" at the start of a link target stands for the application's parent folder.
Package entries(std::vector<Entry> list)
{
    return [list](const fs::path &parent) {
        std::vector<Entry> resolved = list;
        for (Entry &entry : resolved)
            if (entry.data.starts_with("@parent"))
                entry.data.replace(0, 7, parent.string());
        return zip::buildZip(resolved);
    };
}

// kThree, then changed by edit.
Package edited(zip::Compression compression, std::function<void(std::string &)> edit, const char *options = "")
{
    return [=](const fs::path &) {
        std::string bytes = zip::buildZip(kThree, compression, options);
        edit(bytes);
        return bytes;
    };
}

Package raw(std::optional<std::string> bytes) { return [bytes](const fs::path &) { return bytes; }; }

// A central directory record field: compressed size at 20, original size at 24, local header at 42.
std::size_t field(const std::string &bytes, const char *entry, std::size_t offset) { return zip::centralRecord(bytes, entry) + offset; }

void add(std::string &bytes, std::size_t at, std::uint32_t more) { zip::putLE(bytes, at, zip::getLE(bytes, at) + more); }

void damageSecondEntry(std::string &bytes) { bytes[zip::dataOffset(bytes, "aide/index.html")] ^= 0x5A; }

const char *const kSecondDamaged = "endommagé ou incomplet (élément « aide/index.html »)";
const char *const kOverlap = "les données des éléments « kestrel11.exe » et « aide/index.html » se chevauchent";

const struct RefusedCase {
    const char *name;
    Package package;
    const char *reason; // part of the description
} kCases[] = {
    {"parent_step", entries({kGood, {"../x.txt", "hors"}}), "remonte hors du dossier de l'application (« .. »)"},
    {"symlink_then_entry_through_it", entries({{"lien", "@parent/voisin", EntryType::Symlink}, {"lien/notes.txt", "écrasé"}, kGood}),
     "l'élément « lien » est un lien symbolique"},
    {"char_device", entries({kGood, {"periph", "x", EntryType::CharDevice}}), "fichier spécial"},
    {"onto_the_package", entries({kGood, {"updates/maj_kestrel11_11.2.zip", "x"}}), "remplacerait un fichier"},
    {"into_the_staging_folder", entries({kGood, {"updates/kestrel-staging/x", "x"}}), "remplacerait un fichier"},
    {"no_entries", entries({}), "ne contient aucun fichier"},
    {"only_the_root_folder", entries({{"./", "", EntryType::Dir}}), "ne contient aucun fichier"},
    {"missing", raw(std::nullopt), "Impossible d'ouvrir"},
    {"empty_file", raw(""), "Impossible d'ouvrir"},
    {"truncated", edited(zip::Compression::Stored, [](std::string &b) { b.resize(zip::dataOffset(b, "aide/index.html") + 1000); }),
     "Impossible d'ouvrir"},
    {"bad_crc_stored", edited(zip::Compression::Stored, damageSecondEntry), kSecondDamaged},
    {"bad_data_deflated", edited(zip::Compression::Deflated, damageSecondEntry), kSecondDamaged},
    {"two_entries_sharing_one_data_range", edited(zip::Compression::Stored, [](std::string &b) {
         zip::putLE(b, field(b, "aide/index.html", 42), zip::getLE(b, field(b, "kestrel11.exe", 42)));
     }), kOverlap},
    // The directory keeps its honest size; the reader believes the local header (size at 18).
    {"local_header_claiming_the_next_entry",
     edited(zip::Compression::Stored, [](std::string &b) { add(b, zip::getLE(b, field(b, "kestrel11.exe", 42)) + 18, 40); }), kOverlap},
    // Past its data descriptor and well into the directory's first record.
    {"entry_data_running_into_the_directory", edited(zip::Compression::Deflated, [](std::string &b) { add(b, field(b, "LISEZMOI.txt", 20), 64); }),
     "les données de l'élément « LISEZMOI.txt » empiètent sur le répertoire de l'archive"},
    {"deflated_entry_claiming_more_than_deflate_can_give",
     edited(zip::Compression::Deflated, [](std::string &b) { zip::putLE(b, field(b, "kestrel11.exe", 24), 10'000'000); }),
     "l'élément « kestrel11.exe » annonce plus de données que sa taille compressée ne peut en contenir"},
    // Beyond stored and deflate no bound on the output is known before reading it.
    {"entries_compressed_with_bzip2", edited(zip::Compression::Stored, [](std::string &b) {
         for (const char *name : {"kestrel11.exe", "aide/index.html", "LISEZMOI.txt"})
             zip::putLE(b, field(b, name, 10), 12, 2), zip::putLE(b, zip::getLE(b, field(b, name, 42)) + 8, 12, 2);
     }), "une méthode de compression (n° 12) que l'assistant de mise à jour n'accepte pas"},
    {"encrypted_entry", edited(zip::Compression::Deflated, [](std::string &) {}, "zip:encryption=zipcrypt"),
     "contient des éléments chiffrés (dont « kestrel11.exe ») : l'assistant de mise à jour ne peut pas les installer"},
};

class RefusedPackageTest : public InstallFixture, public ::testing::WithParamInterface<std::tuple<RefusedCase, bool>> {};

// Nothing in or around the application folder changes, so nothing stands in the way of a good
// package later; a package staged as it arrived is refused with the same words.
TEST_P(RefusedPackageTest, ChangesNothing)
{
    m_early = std::get<1>(GetParam());
    writeAppFile("aide/index.html", "ancienne aide");
    if (const std::optional<std::string> bytes = std::get<0>(GetParam()).package(m_parent))
        zip::writeFile(m_package, *bytes);
    expectRefused(std::get<0>(GetParam()).reason);
}

INSTANTIATE_TEST_SUITE_P(Packages, RefusedPackageTest, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()), [](const auto &info) {
    return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_staged_as_it_arrives" : "");
});

} // namespace
} // namespace kestrel::test
