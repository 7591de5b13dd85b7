// Hostile and damaged packages: refused before anything in or around the application folder
// changes, and a good package afterwards still installs.

#include "InstallFixture.h"

#include "Install.h"

#include <functional>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

using zip::Entry;
using zip::EntryType;

struct HostileCase {
    const char *name;
    std::function<std::vector<Entry>(const fs::path &parent)> entries;
    const char *reason;  // part of the description
};

const Entry kGood{"kestrel11.exe", "nouvelle version"};

const HostileCase kHostileCases[] = {
    {"parent_step_slash", [](const fs::path &) { return std::vector<Entry>{kGood, {"../x.txt", "hors"}}; }, "« .. »"},
    {"parent_step_backslash", [](const fs::path &) { return std::vector<Entry>{kGood, {"..\\x.txt", "hors"}}; },
     "« .. »"},
    {"parent_step_nested", [](const fs::path &) { return std::vector<Entry>{{"aide/../../x.txt", "hors"}, kGood}; },
     "« .. »"},
    {"absolute_path",
     [](const fs::path &parent) { return std::vector<Entry>{kGood, {(parent / "abs.txt").string(), "hors"}}; },
     "chemin absolu"},
    {"absolute_backslash", [](const fs::path &) { return std::vector<Entry>{{"\\x.txt", "hors"}, kGood}; },
     "chemin absolu"},
    {"drive_letter", [](const fs::path &) { return std::vector<Entry>{kGood, {"C:\\x.txt", "hors"}}; },
     "lettre de lecteur"},
    {"drive_relative", [](const fs::path &) { return std::vector<Entry>{kGood, {"C:x.txt", "hors"}}; },
     "lettre de lecteur"},
    {"symlink_then_entry_through_it",
     [](const fs::path &parent) {
         return std::vector<Entry>{{"lien", (parent / "voisin").string(), EntryType::Symlink},
                                   {"lien/notes.txt", "écrasé"}, kGood};
     },
     "lien symbolique"},
    {"symlink_alone",
     [](const fs::path &) { return std::vector<Entry>{kGood, {"lien", "/etc/passwd", EntryType::Symlink}}; },
     "lien symbolique"},
    {"char_device",
     [](const fs::path &) { return std::vector<Entry>{kGood, {"periph", "x", EntryType::CharDevice}}; },
     "fichier spécial"},
    {"onto_the_package",
     [](const fs::path &) { return std::vector<Entry>{kGood, {"updates/maj_kestrel11_11.2.zip", "x"}}; },
     "assistant"},
    {"into_the_staging_folder",
     [](const fs::path &) { return std::vector<Entry>{kGood, {"updates/kestrel-staging/x", "x"}}; }, "assistant"},
};

class HostilePackageTest : public InstallFixture, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostilePackageTest, IsRefusedBeforeAnythingChanges)
{
    writePackage(GetParam().entries(m_parent));
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
