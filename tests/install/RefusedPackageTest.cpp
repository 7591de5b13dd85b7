// Hostile and damaged packages: refused before anything in or around the application folder
// changes, and a good package afterwards still installs.

#include "InstallFixture.h"

#include "Install.h"

#include <functional>
#include <string>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

using zip::Entry;
using zip::EntryType;

struct HostileCase {
    const char *name;
    std::vector<Entry> entries; // "@parent" in a path or link target stands for the application's parent folder
    const char *reason;         // part of the description
};

const Entry kGood{"kestrel11.exe", "nouvelle version"};

const HostileCase kHostileCases[] = {
    {"parent_step_slash", {kGood, {"../x.txt", "hors"}}, "« .. »"},
    {"parent_step_backslash", {kGood, {"..\\x.txt", "hors"}}, "« .. »"},
    {"parent_step_nested", {{"aide/../../x.txt", "hors"}, kGood}, "« .. »"},
    {"absolute_path", {kGood, {"@parent/abs.txt", "hors"}}, "chemin absolu"},
    {"absolute_backslash", {{"\\x.txt", "hors"}, kGood}, "chemin absolu"},
    {"drive_letter", {kGood, {"C:\\x.txt", "hors"}}, "lettre de lecteur"},
    {"drive_relative", {kGood, {"C:x.txt", "hors"}}, "lettre de lecteur"},
    {"symlink_then_entry_through_it",
     {{"lien", "@parent/voisin", EntryType::Symlink}, {"lien/notes.txt", "écrasé"}, kGood}, "lien symbolique"},
    {"symlink_alone", {kGood, {"lien", "/etc/passwd", EntryType::Symlink}}, "lien symbolique"},
    {"char_device", {kGood, {"periph", "x", EntryType::CharDevice}}, "fichier spécial"},
    {"onto_the_package", {kGood, {"updates/maj_kestrel11_11.2.zip", "x"}}, "assistant"},
    {"into_the_staging_folder", {kGood, {"updates/kestrel-staging/x", "x"}}, "assistant"},
};

class HostilePackageTest : public InstallFixture, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostilePackageTest, IsRefusedBeforeAnythingChanges)
{
    std::vector<Entry> entries = GetParam().entries;
    for (Entry &entry : entries) {
        for (std::string *text : {&entry.path, &entry.data})
            if (text->starts_with("@parent"))
                text->replace(0, 7, m_parent.string());
    }
    writePackage(entries);
    expectRefused(GetParam().reason);
    ASSERT_FALSE(m_host.boxes.shown.empty());
    EXPECT_TRUE(m_host.boxes.shown[0].text.startsWith(kInstallFailed));
    EXPECT_TRUE(m_host.bar.values.empty());
}

INSTANTIATE_TEST_SUITE_P(Packages, HostilePackageTest, ::testing::ValuesIn(kHostileCases),
                         [](const auto &info) { return std::string(info.param.name); });

struct DamagedCase {
    const char *name;
    zip::Compression compression;
    std::function<void(const fs::path &package)> damage;
    const char *reason; // part of the description
};

const std::vector<Entry> kThree = {
    {"kestrel11.exe", std::string(200000, 'a')},
    {"aide/index.html", std::string(300000, 'b')},
    {"LISEZMOI.txt", "Version 11.2"},
};

const DamagedCase kDamagedCases[] = {
    {"bad_crc_in_second_entry_stored", zip::Compression::Stored,
     [](const fs::path &package) { zip::corruptEntryData(package, "aide/index.html"); },
     "endommagé ou incomplet (élément « aide/index.html »)"},
    {"bad_data_in_second_entry_deflated", zip::Compression::Deflated,
     [](const fs::path &package) { zip::corruptEntryData(package, "aide/index.html"); },
     "endommagé ou incomplet (élément « aide/index.html »)"},
    {"truncated_in_second_entry", zip::Compression::Stored,
     [](const fs::path &package) {
         zip::truncateTo(package, zip::dataOffset(zip::readFile(package), "aide/index.html") + 1000);
     },
     "Impossible d'ouvrir"},
    {"truncated_after_second_entry", zip::Compression::Stored,
     [](const fs::path &package) { zip::truncateTo(package, zip::dataOffset(zip::readFile(package), "LISEZMOI.txt") - 60); },
     "Impossible d'ouvrir"},
    {"truncated_central_directory", zip::Compression::Stored,
     [](const fs::path &package) { zip::truncateTo(package, fs::file_size(package) - 30); },
     "Impossible d'ouvrir"},
};

class DamagedPackageTest : public InstallFixture, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedPackageTest, ChangesNothingAndAGoodPackageInstallsAfterwards)
{
    writeAppFile("aide/index.html", "ancienne aide");
    writePackage(kThree, GetParam().compression);
    GetParam().damage(m_package);
    expectRefused(GetParam().reason);

    writePackage(kThree, GetParam().compression);
    EXPECT_TRUE(install());
    EXPECT_EQ(fileText(m_app / "aide/index.html"), kThree[1].data);
    EXPECT_EQ(fileText(m_app / "LISEZMOI.txt"), "Version 11.2");
    EXPECT_EQ(m_host.boxes.shown.size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Packages, DamagedPackageTest, ::testing::ValuesIn(kDamagedCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
