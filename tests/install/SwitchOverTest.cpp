#include "install/InstallFixture.h"
#include "install/Obstacle.h"

#include "install/PackageInstaller.h"
#include "install/SwitchRecord.h"

#include <system_error>

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

// Faults met after the record is written, each of which once lost files: the folder ends as it
// was, the staging is gone, and the box says why.
struct FaultCase {
    const char *name;
    void (*fault)(const fs::path &app, std::size_t call);  // call: 0, 1, ... at each seam
    bool atWorkerStart;  // else before each rename
    std::size_t when;
    const char *reason;
};
void PrintTo(const FaultCase &row, std::ostream *out)
{
    *out << row.name;
}

const FaultCase *g_fault = nullptr;
fs::path g_app;
std::size_t g_calls = 0;

void removeStaged(const fs::path &app, std::size_t)
{
    fs::remove(app / "updates" / install::kStagingFolderName / "content/a.txt");
}
void throwBadAlloc(const fs::path &, std::size_t)
{
    throw std::bad_alloc();
}
void failThreadStart(const fs::path &, std::size_t)
{
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}
// The folder lib goes elsewhere and a link to the neighbour's folder takes its place.
void swapForLink(const fs::path &app, std::size_t)
{
    fs::rename(app / "lib", app.parent_path() / "lib-déplacé");
    fs::create_directory_symlink(app.parent_path() / "voisin", app / "lib");
}

const FaultCase kFaults[] = {
    {"staged_file_removed_before_its_placement", removeStaged, false, 0, "« a.txt » a disparu"},
    {"allocation_fails_at_the_first_placement", throwBadAlloc, false, 3, "mémoire insuffisante"},
    {"allocation_fails_once_all_is_placed", throwBadAlloc, false, 7, "mémoire insuffisante"},
    {"thread_fails_to_start_before_the_first_placement", failThreadStart, true, 1, "version précédente"},
    {"thread_fails_to_start_for_the_reading_back", failThreadStart, true, 3, "version précédente"},
    {"folder_swapped_for_a_link_after_planning", swapForLink, false, 1, "lien symbolique inattendu"},
};

class SwitchOverFaultTest : public InstallFixture, public ::testing::WithParamInterface<FaultCase> {
protected:
    static void hit(std::size_t call)
    {
        if (call == g_fault->when)
            g_fault->fault(g_app, call);
    }
    void TearDown() override
    {
        install::setSwitchPointHook(nullptr);
        install::setWorkerStartHook(nullptr);
    }
};

TEST_P(SwitchOverFaultTest, RunsTheUndoAndLeavesTheFolderAsItWas)
{
    for (const char *file : {"a.txt", "lib/b.dll", "z.txt"})
        writeAppFile(file, std::string("ancien ") + file);
    writePackage({{"a.txt", "nouveau a"}, {"lib/b.dll", "nouveau b"}, {"lib/c.dll", "nouveau c"}, {"z.txt", "nouveau z"}});
    g_fault = &GetParam();
    g_app = m_app;
    g_calls = 0;
    if (GetParam().atWorkerStart)
        install::setWorkerStartHook([] { hit(g_calls++); });
    else
        install::setSwitchPointHook([](std::size_t point) { return hit(point), std::error_code(); });
    const zip::Tree before = zip::snapshot(m_parent);

    EXPECT_FALSE(install());

    expectOneFailureBox(GetParam().reason);
    if (fs::exists(m_parent / "lib-déplacé")) {  // the link stays where the test put it
        fs::remove(m_app / "lib");
        fs::rename(m_parent / "lib-déplacé", m_app / "lib");
    }
    EXPECT_EQ(zip::snapshot(m_parent), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, SwitchOverFaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

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
    const char *reason;
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
    EXPECT_NE(result.description.find(GetParam().reason), std::string::npos) << result.description;
    EXPECT_NE(result.description.find("gros.bin"), std::string::npos) << result.description;
    EXPECT_EQ(zip::snapshot(m_parent), before);
    EXPECT_LE(observer.most, 20U);
}

INSTANTIATE_TEST_SUITE_P(Compressions, DeclaredSizeTest,
                         ::testing::Values(SizeCase{"stored", zip::Compression::Stored, "annonce plus de données"},
                                           SizeCase{"deflated", zip::Compression::Deflated, "endommagé"}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
