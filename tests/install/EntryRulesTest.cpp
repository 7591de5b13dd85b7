// How entry paths, types and names are read, on plain values; names come entry after entry as a package holds them.

#include "install/EntryPath.h"
#include "install/PackageReader.h"

#include <archive_entry.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace kestrel::install {
namespace {

TEST(EntryPath, ReadsComponentsOrRefuses)
{
    using V = PathVerdict;
    const struct { const char *path; PathVerdict verdict; std::vector<std::string> components; } rows[] = {
        {"a.txt", V::Inside, {"a.txt"}}, {"./dir//sub\\f.txt", V::Inside, {"dir", "sub", "f.txt"}}, {"..a/b..", V::Inside, {"..a", "b.."}},
        {"./", V::Root, {}}, {"/etc/passwd", V::Absolute, {}}, {"\\\\serveur\\partage", V::Absolute, {}},
        {"C:\\Windows", V::DriveOrStream, {}}, {"a.txt:flux", V::DriveOrStream, {}},
        {"a/../../b", V::ParentStep, {}}, {"a\\..\\b", V::ParentStep, {}}, {"a/..", V::ParentStep, {}}};
    for (const auto &row : rows) {
        const EntryPath read = readEntryPath(row.path);
        EXPECT_EQ(read.verdict, row.verdict) << row.path;
        EXPECT_EQ(read.components, row.components) << row.path;
    }
}

// Hard links and FIFOs cannot be put in our test zips: their headers are made here; other kinds go through real packages.
TEST(EntryKind, ClassifiesTheHeader)
{
    const struct { unsigned fileType; const char *hardlink; EntryKind kind; } rows[] = {
        {AE_IFREG, "kestrel11.exe", EntryKind::HardLink}, {AE_IFIFO, nullptr, EntryKind::Special}, {0, nullptr, EntryKind::Special}};
    for (const auto &row : rows) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname(entry.get(), "x");
        archive_entry_set_filetype(entry.get(), row.fileType);
        if (row.hardlink)
            archive_entry_set_hardlink(entry.get(), row.hardlink);
        EXPECT_EQ(classifyEntry(entry.get()), row.kind) << row.fileType;
    }
}

const char *const kCase = "ne diffèrent que par les majuscules et minuscules, que Windows ne distingue pas";
const char *const kDevice = "que Windows réserve à un périphérique";
const char *const kTrailing = "qui finit par un point ou un espace";
const char *const kCharacter = "un caractère que Windows n'accepte pas";
const char *const kReserved = "remplacerait un fichier de l'assistant de mise à jour";

// The first entry of a package refused, if any, and a part of the refusal text.
struct NamesCase {
    const char *name;
    std::vector<std::string> entries;
    std::optional<std::size_t> refused;
    const char *reason = "";
};

class EntryNamesTest : public ::testing::TestWithParam<NamesCase> {};

TEST_P(EntryNamesTest, RefusesTheFirstNameWindowsCannotHold)
{
    PackageNames names({"updates/kestrel-staging", "updates/maj_kestrel11_2.zip", ""});
    std::optional<std::size_t> refused;
    std::string text;
    for (std::size_t i = 0; i < GetParam().entries.size() && !refused; ++i)
        if (auto refusal = names.refusal(GetParam().entries[i], readEntryPath(GetParam().entries[i])))
            refused = i, text = *refusal;
    EXPECT_EQ(refused, GetParam().refused) << text;
    EXPECT_NE(text.find(GetParam().reason), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Packages, EntryNamesTest,
    ::testing::Values(
        NamesCase{"acceptedNames",
                  {"kestrel11.exe", "Aide/", "Aide/index.html", "Aide/a.png", "aide.txt", "a/x", "a/y", "a/x", "./a", "CONSOLE.txt", "com10",
                   "LPT", "nullité", "aux_1", "données/été.v1.txt", " début", "#%&'", "~1", "a~1b", "version~2.tar.gz", "longer-name~1",
                   "UPDATES/notes.txt", "UPDATES/kestrel-staging.txt"},
                  std::nullopt},
        NamesCase{"twinFileAndFolder", {"LisezMoi", "lisezmoi/x"}, 1, kCase},
        NamesCase{"twinDotlessIUpperCase", {"FICHIER", "fıchier"}, 1, kCase},
        NamesCase{"twinKelvinSign", {"k.txt", "\u212a.txt"}, 1, kCase},
        NamesCase{"stagingFolderInCapitals", {"kestrel11.exe", "UPDATES/Kestrel-Staging/x"}, 1, kReserved},
        NamesCase{"packageInCapitals", {"Updates\\MAJ_KESTREL11_2.ZIP"}, 0, kReserved},
        NamesCase{"trailingDotInAFolder", {"ok.txt", "dossier../x.txt"}, 1, kTrailing},
        NamesCase{"deviceMixedCaseTwoExtensions", {"Aux.tar.gz"}, 0, kDevice},
        NamesCase{"portWithSuperscriptDigit", {"com\u00b9.txt"}, 0, kDevice},
        NamesCase{"consoleInput", {"conin$"}, 0, kDevice},
        NamesCase{"shortNameOfTheStagingFolder", {"updates/KESTRE~1/x"}, 0, "de la forme des noms courts"},
        NamesCase{"questionMarkInAFolder", {"dossier/a?b"}, 0, kCharacter},
        NamesCase{"controlCharacter31", {"a\x1f"}, 0, kCharacter}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(EntryNames, RefusalTellsWhichNamesMeet)
{
    PackageNames names({});
    ASSERT_FALSE(names.refusal("Aide/a.html", readEntryPath("Aide/a.html")));
    EXPECT_EQ(names.refusal("aide/b.html", readEntryPath("aide/b.html")),
              std::string("Le fichier d'installation a été refusé : « aide » (dans l'élément « aide/b.html ») et « Aide » ne diffèrent que "
                          "par les majuscules et minuscules, que Windows ne distingue pas. Aucun fichier n'a été modifié."));
}

} // namespace
} // namespace kestrel::install
