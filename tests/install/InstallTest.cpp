#include "install/InstallFixture.h"

#include "install/Obstacle.h"
#include "install/PackageInstaller.h"
#include "install/steps/Install.h"

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

using zip::Entry;
using zip::EntryType;

class InstallPackageTest : public InstallFixture {};

// Three top-level entries spelled as zip tools write them: with and without "./", backslashes, doubled slashes, folder entries.
const std::vector<Entry> kThreeEntries = {{"./", "", EntryType::Dir}, {"kestrel11.exe", "nouvelle version"}, {"aide/", "", EntryType::Dir},
                                          {"./aide/index.html", "<p>Aide</p>"}, {"aide\\images//logo.png", std::string("\x89PNG\0\1", 6)},
                                          {"LISEZMOI.txt", "Version 11.2\r\n"}};

TEST_F(InstallPackageTest, ReplacesFilesMergesFoldersKeepsTheUsersOwnAndCountsTopLevelEntries)
{
    writeAppFile("aide/index.html", "ancienne aide");
    writeAppFile("aide/notes-perso.txt", "mes notes");
    writePackage(kThreeEntries);

    EXPECT_TRUE(install());

    EXPECT_TRUE(m_host.boxes.shown.empty());
    EXPECT_EQ(fileText(m_app / "kestrel11.exe"), "nouvelle version");
    EXPECT_EQ(fileText(m_app / "aide/index.html"), "<p>Aide</p>");
    EXPECT_EQ(fileText(m_app / "aide/images/logo.png"), std::string("\x89PNG\0\1", 6));
    EXPECT_EQ(fileText(m_app / "aide/notes-perso.txt"), "mes notes");
    EXPECT_EQ(m_host.bar.max(), 3.0F);
    EXPECT_EQ(m_host.bar.values, (std::vector<float>{0, 1, 2, 3}));
    EXPECT_GE(m_host.pump.calls, 1);
    EXPECT_TRUE(fs::is_regular_file(m_package)) << "the package is left for the cleanup";
    EXPECT_FALSE(fs::exists(m_updates / install::kStagingFolderName));
}

TEST_F(InstallPackageTest, MissingTargetFolderIsCreatedOnlyWhenItsParentExists)
{
    writePackage(kThreeEntries);
    EXPECT_TRUE(install::steps::InstallPackage(m_host, m_host.ctx.packagePath, qtPath(m_parent / "Nouveau") + '/'));
    EXPECT_EQ(fileText(m_parent / "Nouveau/aide/index.html"), "<p>Aide</p>");
    m_host.ctx.appFolder = qtPath(m_parent / "absent" / "app") + '/';
    expectRefused("Impossible de créer le dossier");
}

// Past 65535 entries the zip needs its zip64 records, and past 32767 a 16-bit index overflows.
TEST_F(InstallPackageTest, SeventyThousandTopLevelFilesInstallCompletely)
{
    constexpr int kCount = 70000;
    std::vector<Entry> entries;
    std::vector<float> counted{0};
    for (int i = 0; i < kCount; ++i)
        entries.push_back({"f" + std::to_string(i) + ".txt", std::to_string(i)}), counted.push_back(i + 1);
    const std::string bytes = zip::buildZip(entries, zip::Compression::Stored, "zip:zip64");
    ASSERT_NE(bytes.find(std::string("PK\x06\x06", 4)), std::string::npos) << "no zip64 end record";
    zip::writeFile(m_package, bytes);

    EXPECT_TRUE(install());

    EXPECT_TRUE(m_host.boxes.shown.empty());
    EXPECT_TRUE(m_host.bar.values == counted);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_app), fs::directory_iterator()), kCount + 2) << "with kestrel11.exe and updates";
    for (int i : {0, 32767, 32768, 65535, 65536, kCount - 1})
        EXPECT_EQ(fileText(m_app / ("f" + std::to_string(i) + ".txt")), std::to_string(i));
}

// The window may repaint while one large entry is written: a call per data block at least.
TEST_F(InstallPackageTest, LargeEntryLetsTheWindowCatchUpBetweenDataBlocks)
{
    BusyCounter counter;
    writePackage({{"gros.bin", std::string(8 << 20, 'k')}}, zip::Compression::Stored);
    EXPECT_EQ(install::installPackage(m_package, m_app, counter).outcome, install::InstallOutcome::Installed);
    EXPECT_GE(counter.calls, 8);
    EXPECT_EQ(fs::file_size(m_app / "gros.bin"), std::uintmax_t{8} << 20);
}

// A package made on Windows carries no permission bits: a file it replaces keeps its own.
TEST_F(InstallPackageTest, ExecutableBitsAreKeptAndSpecialBitsDropped)
{
    writeAppFile("Update", "ancien");
    fs::permissions(m_app / "Update", fs::perms::owner_all);
    std::string bytes = zip::buildZip({{"outil", "#!/bin/sh\n", EntryType::File, 07755}, {"lisez.txt", "x", EntryType::File, 0644}, {"Update", "nouveau"}});
    bytes[zip::centralRecord(bytes, "Update") + 5] = 0; // made by: MS-DOS
    zip::writeFile(m_package, bytes);
    EXPECT_TRUE(install());
    const fs::perms watched = fs::perms::owner_exec | fs::perms::set_uid | fs::perms::set_gid | fs::perms::sticky_bit;
    EXPECT_EQ(fs::status(m_app / "outil").permissions() & watched, fs::perms::owner_exec);
    EXPECT_EQ(fs::status(m_app / "lisez.txt").permissions() & watched, fs::perms::none);
    EXPECT_EQ(fs::status(m_app / "Update").permissions() & watched, fs::perms::owner_exec);
}

// A package's file where the application has a folder, then an application folder that is a link: nothing is written anywhere.
TEST_F(InstallPackageTest, ClashWithTheApplicationsFolderOrLinkChangesNothing)
{
    writeAppFile("LISEZMOI.txt/garde.txt", "dossier de l'utilisateur");
    writePackage(kThreeEntries);
    expectRefused("« LISEZMOI.txt » est un dossier dans le dossier de l'application");
    fs::remove_all(m_app / "LISEZMOI.txt");
    fs::create_directories(m_parent / "ailleurs");
    fs::create_directory_symlink(m_parent / "ailleurs", m_app / "aide");
    expectRefused("« aide »");
}

TEST_F(InstallPackageTest, StagingLeftByAnInterruptedRunIsRemovedFirstButOnlyWithOurMarker)
{
    const fs::path staging = m_updates / install::kStagingFolderName;
    fs::create_directories(staging / "content" / "kestrel11.exe");
    zip::writeFile(staging / install::kStagingMarkerName, "");
    fs::create_directories(staging / "backup");
    zip::writeFile(staging / "backup" / "bloqué", "");
    writePackage(kThreeEntries);
    // A removal cut short keeps the marker, which goes last: the leftover stays known as ours.
    Obstacle obstacle(staging / "backup" / "bloqué");
    if (obstacle.set()) {
        EXPECT_FALSE(install());
        expectOneFailureBox("Impossible de supprimer le dossier temporaire");
        EXPECT_TRUE(fs::exists(staging / install::kStagingMarkerName));
        obstacle.lift();
    }
    EXPECT_TRUE(install());
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(fileText(m_app / "kestrel11.exe"), "nouvelle version");

    fs::create_directories(staging);
    zip::writeFile(staging / "document.txt", "pas à nous");
    expectRefused("n'a pas été créé par l'assistant de mise à jour");
}

} // namespace
} // namespace kestrel::test
