#include "install/InstallFixture.h"
#include "install/Obstacle.h"

#include "install/PackageInstaller.h"

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

struct ObstacleCase {
    const char *name;
    const char *blocked;
};
void PrintTo(const ObstacleCase &row, std::ostream *out)
{
    *out << row.blocked;
}

class SwitchOverObstacleTest : public InstallFixture, public ::testing::WithParamInterface<ObstacleCase> {};

TEST_P(SwitchOverObstacleTest, PutsEverythingBackAndALaterAttemptInstalls)
{
    for (const char *file : {"a.txt", "lib/b.dll", "z.txt"})
        writeAppFile(file, std::string("ancien ") + file);
    writeAppFile("lib/mes-reglages.cfg", "à moi");
    writePackage({{"a.txt", "nouveau a"}, {"lib/b.dll", "nouveau b"}, {"lib/c.dll", "nouveau c"}, {"z.txt", "nouveau z"}});
    const zip::Tree before = zip::snapshot(m_parent);
    Obstacle obstacle(m_app / GetParam().blocked);
    if (!obstacle.set())
        GTEST_SKIP() << "this file system cannot make a file unmovable";

    EXPECT_FALSE(install());

    expectOneFailureBox("Kestrel 11 reste dans sa version précédente.");
    obstacle.lift();
    EXPECT_EQ(zip::snapshot(m_parent), before);
    m_host.boxes.shown.clear();
    EXPECT_TRUE(install());
    EXPECT_EQ(fileText(m_app / "z.txt"), "nouveau z");
    EXPECT_EQ(fileText(m_app / "lib/c.dll"), "nouveau c");
    EXPECT_EQ(fileText(m_app / "lib/mes-reglages.cfg"), "à moi");
    EXPECT_FALSE(fs::exists(m_updates / install::kStagingFolderName));
}

INSTANTIATE_TEST_SUITE_P(Entries, SwitchOverObstacleTest,
                         ::testing::Values(ObstacleCase{"first", "a.txt"}, ObstacleCase{"middle", "lib/b.dll"},
                                           ObstacleCase{"last", "z.txt"}),
                         [](const auto &info) { return std::string(info.param.name); });

// Rewrites the uncompressed size that the local header and the central directory declare.
void declareSize(const fs::path &zipFile, const std::string &entry, std::uint32_t size)
{
    std::string bytes = zip::readFile(zipFile);
    zip::putLE(bytes, zip::centralRecord(bytes, entry) + 24, size);
    zip::putLE(bytes, zip::getLE(bytes, zip::centralRecord(bytes, entry) + 42) + 22, size);
    zip::writeFile(zipFile, bytes);
}

// Watches how much the staged content holds each time the engine reports progress.
struct StagedBytes final : install::InstallObserver {
    explicit StagedBytes(fs::path folder) : staging(std::move(folder)) {}
    void started(std::size_t) override {}
    void topLevelStaged(std::size_t) override { busy(); }
    void busy() override
    {
        std::uintmax_t total = 0;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(staging, error); !error && it != fs::end(it); ++it)
            total += it->is_regular_file() ? it->file_size() : 0;
        most = std::max(most, total);
    }
    fs::path staging;
    std::uintmax_t most = 0;
};

struct SizeCase {
    const char *name;
    zip::Compression compression;
};
void PrintTo(const SizeCase &row, std::ostream *out)
{
    *out << row.name;
}

class DeclaredSizeTest : public InstallFixture, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DeclaredSizeTest, DataBeyondItIsDamageAndIsNeverWritten)
{
    writePackage({{"petit.txt", "0123456789"}, {"gros.bin", std::string(1 << 20, 'x')}}, GetParam().compression);
    declareSize(m_package, "gros.bin", 10);
    const zip::Tree before = zip::snapshot(m_parent);
    StagedBytes observer(m_updates / install::kStagingFolderName / "content");

    const install::InstallResult result = install::installPackage(m_package, m_app, observer);

    EXPECT_EQ(result.outcome, install::InstallOutcome::Failed);
    EXPECT_NE(result.description.find("endommagé"), std::string::npos) << result.description;
    EXPECT_NE(result.description.find("gros.bin"), std::string::npos) << result.description;
    EXPECT_EQ(zip::snapshot(m_parent), before);
    EXPECT_LE(observer.most, 20U);
}

INSTANTIATE_TEST_SUITE_P(Compressions, DeclaredSizeTest,
                         ::testing::Values(SizeCase{"stored", zip::Compression::Stored},
                                           SizeCase{"deflated", zip::Compression::Deflated}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
