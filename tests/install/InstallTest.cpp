#include "InstallFixture.h"

#include "Install.h"
#include "PackageInstaller.h"
#include "SupportContact.h"

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

using zip::Entry;
using zip::EntryType;

class InstallPackageTest : public InstallFixture {};

const std::vector<Entry> kThreeEntries = {
    {"kestrel11.exe", "nouvelle version"},
    {"aide/", "", EntryType::Dir},
    {"aide/index.html", "<p>Aide</p>"},
    {"aide/images/logo.png", std::string("\x89PNG\0\1", 6)},
    {"LISEZMOI.txt", "Version 11.2\r\n"},
};

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

TEST_F(InstallPackageTest, DotPrefixesAndMissingFolderEntriesGiveTheSameTopLevelEntries)
{
    writePackage({{"./", "", EntryType::Dir},
                  {"./bin/kestrel.dll", "dll"},
                  {"./bin\\outils\\conv.exe", "conv"},
                  {"doc//guide.pdf", "pdf"},
                  {"./bin/lisez.txt", "bin"}});

    EXPECT_TRUE(install());

    EXPECT_EQ(m_host.bar.values, (std::vector<float>{0, 1, 2}));
    EXPECT_EQ(fileText(m_app / "bin/outils/conv.exe"), "conv");
    EXPECT_EQ(fileText(m_app / "doc/guide.pdf"), "pdf");
}

TEST_F(InstallPackageTest, MissingTargetFolderIsCreatedOnlyWhenItsParentExists)
{
    writePackage(kThreeEntries);
    EXPECT_TRUE(InstallPackage(m_host, m_host.ctx.packagePath, qtPath(m_parent / "Nouveau") + '/'));
    EXPECT_EQ(fileText(m_parent / "Nouveau/aide/index.html"), "<p>Aide</p>");

    m_host.ctx.appFolder = qtPath(m_parent / "absent" / "app") + '/';
    expectRefused("Impossible de créer le dossier");
}

struct UnopenableCase {
    const char *name;
    const char *content; // nullptr: no file at all
};

class UnopenablePackageTest : public InstallFixture, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(UnopenablePackageTest, ShowsTheOpenBoxOnceAndTouchesNothing)
{
    if (GetParam().content)
        zip::writeFile(m_package, GetParam().content);
    const zip::Tree before = zip::snapshot(m_parent);

    EXPECT_FALSE(install());

    ASSERT_EQ(m_host.boxes.shown.size(), 1U);
    EXPECT_EQ(m_host.boxes.shown[0].text,
              QStringLiteral("Impossible d'ouvrir le fichier d'installation.") + SupportContactText());
    EXPECT_EQ(m_host.boxes.shown[0].title, QStringLiteral("Installation de la mise à jour"));
    EXPECT_TRUE(m_host.bar.values.empty());
    EXPECT_EQ(zip::snapshot(m_parent), before);
}

INSTANTIATE_TEST_SUITE_P(Packages, UnopenablePackageTest,
                         ::testing::Values(UnopenableCase{"missing", nullptr}, UnopenableCase{"empty_file", ""},
                                           UnopenableCase{"text_file", "<html>404 Not Found</html>"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(InstallPackageTest, PackageWithoutEntriesIsAFailure)
{
    for (const auto &entries : {std::vector<Entry>{}, std::vector<Entry>{{"./", "", EntryType::Dir}}}) {
        writePackage(entries);
        m_host.boxes.shown.clear();
        expectRefused("ne contient aucun fichier");
        EXPECT_TRUE(m_host.bar.values.empty());
    }
}

TEST_F(InstallPackageTest, MoreTopLevelEntriesThanASixteenBitIndexInstallCompletely)
{
    constexpr int kCount = 32768 + 3;
    std::vector<Entry> entries;
    for (int i = 0; i < kCount; ++i)
        entries.push_back({"f" + std::to_string(i) + ".txt", std::to_string(i)});
    writePackage(entries, zip::Compression::Stored);

    EXPECT_TRUE(install());

    EXPECT_TRUE(m_host.boxes.shown.empty());
    ASSERT_EQ(m_host.bar.values.size(), static_cast<std::size_t>(kCount) + 1);
    EXPECT_EQ(m_host.bar.values.back(), static_cast<float>(kCount));
    for (int i : {0, 32767, 32768, kCount - 1})
        EXPECT_EQ(fileText(m_app / ("f" + std::to_string(i) + ".txt")), std::to_string(i));
}

TEST_F(InstallPackageTest, ExecutableBitsAreKeptAndSpecialBitsDropped)
{
    writePackage({{"bin/lanceur", "#!/bin/sh\n", EntryType::File, 0755},
                  {"bin/suid", "x", EntryType::File, 04755},
                  {"bin/sgid-sticky", "x", EntryType::File, 03755},
                  {"lisez.txt", "x", EntryType::File, 0644}});

    EXPECT_TRUE(install());

    const auto mode = [this](const char *relative) {
        struct stat info {};
        EXPECT_EQ(::stat((m_app / relative).c_str(), &info), 0) << relative;
        return info.st_mode & 07777;
    };
    EXPECT_EQ(mode("bin/lanceur") & 0111, 0111U);
    EXPECT_EQ(mode("bin/suid"), 0755U & ~static_cast<unsigned>(::umask(::umask(0))));
    EXPECT_EQ(mode("bin/sgid-sticky") & 07000, 0U);
    EXPECT_EQ(mode("lisez.txt") & 0111, 0U);
}

TEST_F(InstallPackageTest, ClashBetweenAFileAndAFolderChangesNothing)
{
    writeAppFile("aide/notes-perso.txt", "mes notes");
    writeAppFile("LISEZMOI.txt/garde.txt", "dossier de l'utilisateur");
    writePackage(kThreeEntries);
    expectRefused("LISEZMOI.txt");
}

TEST_F(InstallPackageTest, FolderOfTheAppThatIsALinkIsNotWrittenThrough)
{
    fs::create_directories(m_parent / "ailleurs");
    fs::create_directory_symlink(m_parent / "ailleurs", m_app / "aide");
    writePackage(kThreeEntries);
    expectRefused("aide");
}

TEST_F(InstallPackageTest, StagingLeftByAnInterruptedRunIsRemovedFirstButOnlyWithOurMarker)
{
    const fs::path staging = m_updates / install::kStagingFolderName;
    fs::create_directories(staging / "content" / "kestrel11.exe");
    zip::writeFile(staging / install::kStagingMarkerName, "");
    writePackage(kThreeEntries);
    EXPECT_TRUE(install());
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_EQ(fileText(m_app / "kestrel11.exe"), "nouvelle version");

    fs::create_directories(staging);
    zip::writeFile(staging / "document.txt", "pas à nous");
    expectRefused(install::kStagingFolderName);
}

} // namespace
} // namespace kestrel::test
