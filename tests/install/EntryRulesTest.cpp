// How entry paths, entry types and entry names are read, on plain values. Names are given
// entry after entry as a package holds them: Windows would refuse, misread or merge some.

#include "install/EntryPath.h"
#include "install/PackageReader.h"

#include <archive_entry.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::install {
namespace {
struct PathCase {
    const char *name;
    const char *path;
    PathVerdict verdict;
    std::vector<std::string> components;
};

class EntryPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(EntryPathTest, ReadsComponentsOrRefuses)
{
    const install::EntryPath read = install::readEntryPath(GetParam().path);
    EXPECT_EQ(read.verdict, GetParam().verdict);
    EXPECT_EQ(read.components, GetParam().components);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EntryPathTest,
    ::testing::Values(PathCase{"file", "a.txt", PathVerdict::Inside, {"a.txt"}},
                      PathCase{"folder", "dir/", PathVerdict::Inside, {"dir"}},
                      PathCase{"dots_doubled_slashes_backslash", "./dir//sub\\f.txt", PathVerdict::Inside, {"dir", "sub", "f.txt"}},
                      PathCase{"dots_inside_names", "..a/b..", PathVerdict::Inside, {"..a", "b.."}},
                      PathCase{"dot_slash", "./", PathVerdict::Root, {}},
                      PathCase{"empty", "", PathVerdict::Root, {}},
                      PathCase{"absolute", "/etc/passwd", PathVerdict::Absolute, {}},
                      PathCase{"unc_share", "\\\\serveur\\partage", PathVerdict::Absolute, {}},
                      PathCase{"drive_letter", "C:\\Windows", PathVerdict::DriveOrStream, {}},
                      PathCase{"drive_relative", "c:x", PathVerdict::DriveOrStream, {}},
                      PathCase{"alternate_stream", "a.txt:flux", PathVerdict::DriveOrStream, {}},
                      PathCase{"parent", "..", PathVerdict::ParentStep, {}},
                      PathCase{"parent_beyond_root", "a/../../b", PathVerdict::ParentStep, {}},
                      PathCase{"parent_backslash", "a\\..\\b", PathVerdict::ParentStep, {}},
                      PathCase{"parent_at_end", "a/..", PathVerdict::ParentStep, {}}),
    [](const auto &info) { return std::string(info.param.name); });

struct KindCase {
    const char *name;
    unsigned fileType;
    const char *hardlink;
    install::EntryKind kind;
};

class EntryKindTest : public ::testing::TestWithParam<KindCase> {};

// Hard links and FIFOs cannot be put in our test zips, so their headers are made here; files,
// folders, links and devices go through real packages in the install tests.
TEST_P(EntryKindTest, ClassifiesTheHeader)
{
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
    archive_entry_set_pathname(entry.get(), "x");
    archive_entry_set_filetype(entry.get(), GetParam().fileType);
    if (GetParam().hardlink)
        archive_entry_set_hardlink(entry.get(), GetParam().hardlink);
    EXPECT_EQ(install::classifyEntry(entry.get()), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EntryKindTest,
    ::testing::Values(KindCase{"hardlink", AE_IFREG, "kestrel11.exe", install::EntryKind::HardLink},
                      KindCase{"fifo", AE_IFIFO, nullptr, install::EntryKind::Special},
                      KindCase{"no_type", 0, nullptr, install::EntryKind::Special}),
    [](const auto &info) { return std::string(info.param.name); });

struct NamesCase {
    const char *name;
    std::vector<std::string> entries;
    std::optional<std::size_t> refused;  // the first entry refused, if any
    const char *reason = "";             // part of the refusal text
};

constexpr std::optional<std::size_t> kNone;  // every entry accepted
const char *const kCase = "ne diffèrent que par les majuscules et minuscules, que Windows ne distingue pas";
const char *const kDevice = "que Windows réserve à un périphérique";
const char *const kTrailing = "qui finit par un point ou un espace";
const char *const kCharacter = "un caractère que Windows n'accepte pas";
const char *const kShortName = "de la forme des noms courts";
const char *const kReserved = "remplacerait un fichier de l'assistant de mise à jour";

class EntryNamesTest : public ::testing::TestWithParam<NamesCase> {};

TEST_P(EntryNamesTest, RefusesTheFirstNameWindowsCannotHold)
{
    install::PackageNames names({"updates/kestrel-staging", "updates/maj_kestrel11_2.zip", ""});
    std::optional<std::size_t> refused;
    std::string text;
    for (std::size_t i = 0; i < GetParam().entries.size() && !refused; ++i) {
        if (auto refusal = names.refusal(GetParam().entries[i], install::readEntryPath(GetParam().entries[i])))
            refused = i, text = *refusal;
    }
    EXPECT_EQ(refused, GetParam().refused) << text;
    EXPECT_NE(text.find(GetParam().reason), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Packages, EntryNamesTest,
    ::testing::Values(
        NamesCase{"acceptedNames",
                  {"kestrel11.exe", "Aide/", "Aide/index.html", "Aide/a.png", "aide.txt", "a/x", "a/y", "a/x", "./a",
                   "CONSOLE.txt", "com10", "LPT", "nullité", "aux_1", "données/été.v1.txt", " début", "#%&'", "~1",
                   "a~1b", "version~2.tar.gz", "longer-name~1", "UPDATES/notes.txt", "UPDATES/kestrel-staging.txt"},
                  kNone},
        NamesCase{"twinFileAndFolder", {"LisezMoi", "lisezmoi/x"}, 1, kCase},
        NamesCase{"twinDeepFolders", {"a/B/c", "a/b/d"}, 1, kCase},
        NamesCase{"twinAccentedCapital", {"Écran.txt", "écran.txt"}, 1, kCase},
        NamesCase{"twinDotlessIUpperCase", {"FICHIER", "fıchier"}, 1, kCase},
        NamesCase{"twinKelvinSign", {"k.txt", "\u212a.txt"}, 1, kCase},
        NamesCase{"stagingFolderInCapitals", {"kestrel11.exe", "UPDATES/Kestrel-Staging/x"}, 1, kReserved},
        NamesCase{"packageInCapitals", {"Updates\\MAJ_KESTREL11_2.ZIP"}, 0, kReserved},
        NamesCase{"trailingSpace", {"aide "}, 0, kTrailing},
        NamesCase{"trailingDotInAFolder", {"ok.txt", "dossier../x.txt"}, 1, kTrailing},
        NamesCase{"deviceMixedCaseTwoExtensions", {"Aux.tar.gz"}, 0, kDevice},
        NamesCase{"deviceInAFolder", {"dossier/com1.log"}, 0, kDevice},
        NamesCase{"printerPortAlone", {"LPT9"}, 0, kDevice},
        NamesCase{"portWithSuperscriptDigit", {"com\u00b9.txt"}, 0, kDevice},
        NamesCase{"deviceBlankBeforeExtension", {"nul .txt"}, 0, kDevice},
        NamesCase{"consoleInput", {"conin$"}, 0, kDevice},
        NamesCase{"shortNameOfTheStagingFolder", {"updates/KESTRE~1/x"}, 0, kShortName},
        NamesCase{"shortNameWithExtension", {"Aide/LISEZ~12.TXT"}, 0, kShortName},
        NamesCase{"lessThan", {"a<b"}, 0, kCharacter},
        NamesCase{"questionMark", {"dossier/a?b"}, 0, kCharacter},
        NamesCase{"star", {"*.txt"}, 0, kCharacter},
        NamesCase{"controlCharacter31", {"a\x1f"}, 0, kCharacter}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(EntryNames, RefusalTellsWhichNamesMeet)
{
    install::PackageNames names({});
    ASSERT_FALSE(names.refusal("Aide/a.html", install::readEntryPath("Aide/a.html")));
    EXPECT_EQ(names.refusal("aide/b.html", install::readEntryPath("aide/b.html")),
              std::string("Le fichier d'installation a été refusé : « aide » (dans l'élément « aide/b.html ») "
                          "et « Aide » ne diffèrent que par les majuscules et minuscules, que Windows ne "
                          "distingue pas. Aucun fichier n'a été modifié."));
}

} // namespace
} // namespace kestrel::install
