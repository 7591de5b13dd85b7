#include "InstallFixture.h"

#include "Cleanup.h"

#include <unistd.h>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

class CleanupTest : public InstallFixture {
protected:
    void SetUp() override
    {
        InstallFixture::SetUp();
        zip::writeFile(m_package, "PK");
        zip::writeFile(m_updates / "journal.txt", "autre fichier");
        m_host.bar.setMin(0.0F);
        m_host.bar.setMax(3.0F);
        m_host.bar.setValue(3.0F);
        m_host.bar.values.clear();
    }
};

TEST_F(CleanupTest, DeletesOnlyThePackageThroughHalfOfTheBar)
{
    EXPECT_TRUE(CleanTemporaryFiles(m_host));

    EXPECT_FALSE(fs::exists(m_package));
    EXPECT_TRUE(fs::is_directory(m_updates));
    EXPECT_EQ(fileText(m_updates / "journal.txt"), "autre fichier");
    EXPECT_EQ(fileText(m_app / "kestrel11.exe"), "ancienne version");
    EXPECT_EQ(m_host.bar.values, (std::vector<float>{0.0F, 1.5F, 3.0F}));
    EXPECT_TRUE(m_host.boxes.shown.empty());
}

TEST_F(CleanupTest, PackageAlreadyGoneGoesStraightToFull)
{
    fs::remove(m_package);

    EXPECT_TRUE(CleanTemporaryFiles(m_host));

    EXPECT_EQ(m_host.bar.values, (std::vector<float>{0.0F, 3.0F}));
    EXPECT_EQ(fileText(m_updates / "journal.txt"), "autre fichier");
    EXPECT_TRUE(m_host.boxes.shown.empty());
}

TEST_F(CleanupTest, FolderAtThePackagePathIsNotDeleted)
{
    fs::remove(m_package);
    fs::create_directory(m_package);

    EXPECT_TRUE(CleanTemporaryFiles(m_host));

    EXPECT_TRUE(fs::is_directory(m_package));
    EXPECT_EQ(m_host.bar.values, (std::vector<float>{0.0F, 3.0F}));
}

TEST_F(CleanupTest, PackageThatCannotBeDeletedStaysAndTheStepStillSucceedsSilently)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root deletes from a read-only folder";
    fs::permissions(m_updates, fs::perms::owner_write, fs::perm_options::remove);

    const bool done = CleanTemporaryFiles(m_host);
    fs::permissions(m_updates, fs::perms::owner_write, fs::perm_options::add);

    EXPECT_TRUE(done);
    EXPECT_TRUE(fs::exists(m_package));
    EXPECT_EQ(m_host.bar.values, (std::vector<float>{0.0F, 1.5F, 3.0F}));
    EXPECT_TRUE(m_host.boxes.shown.empty());
}

} // namespace
} // namespace kestrel::test
