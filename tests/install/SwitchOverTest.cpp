#include "install/InstallFixture.h"
#include "install/Obstacle.h"

#include "install/PackageInstaller.h"
#include "install/SwitchRecord.h"

#include <system_error>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

// Faults after the record is written: the folder ends as it was, the staging gone, and the box says why.
// The fault strikes at call `when` of a seam: before each rename, or at each worker's start.
struct FaultCase {
    const char *name;
    void (*fault)(const fs::path &app);
    bool atWorkerStart;
    std::size_t when;
    const char *reason;
};

const FaultCase *g_fault = nullptr;
fs::path g_app;
std::size_t g_calls = 0;

const FaultCase kFaults[] = {
    {"staged_file_removed_before_its_placement", [](const fs::path &app) { fs::remove(app / "updates/kestrel-staging/content/a.txt"); }, false, 0,
     "« a.txt » a disparu"},
    {"allocation_fails_at_the_first_placement", [](const fs::path &) { throw std::bad_alloc(); }, false, 3, "mémoire insuffisante"},
    {"allocation_fails_once_all_is_placed", [](const fs::path &) { throw std::bad_alloc(); }, false, 7, "mémoire insuffisante"},
    {"thread_fails_to_start_before_the_first_placement",
     [](const fs::path &) { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); }, true, 1, "version précédente"},
    {"thread_fails_to_start_for_the_reading_back",
     [](const fs::path &) { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); }, true, 3, "version précédente"},
    // The folder lib goes elsewhere and a link to the neighbour's folder takes its place.
    {"folder_swapped_for_a_link_after_planning", [](const fs::path &app) {
         fs::rename(app / "lib", app.parent_path() / "lib-déplacé");
         fs::create_directory_symlink(app.parent_path() / "voisin", app / "lib");
     }, false, 1, "lien symbolique inattendu"},
};

class SwitchOverFaultTest : public InstallFixture, public ::testing::WithParamInterface<FaultCase> {
protected:
    static void hit(std::size_t call)
    {
        if (call == g_fault->when)
            g_fault->fault(g_app);
    }
    void TearDown() override { install::setSwitchPointHook(nullptr), install::setWorkerStartHook(nullptr); }
};

TEST_P(SwitchOverFaultTest, RunsTheUndoAndLeavesTheFolderAsItWas)
{
    for (const char *file : {"a.txt", "lib/b.dll", "z.txt"})
        writeAppFile(file, std::string("ancien ") + file);
    writePackage({{"a.txt", "nouveau a"}, {"lib/b.dll", "nouveau b"}, {"lib/c.dll", "nouveau c"}, {"z.txt", "nouveau z"}});
    g_fault = &GetParam(), g_app = m_app, g_calls = 0;
    if (GetParam().atWorkerStart)
        install::setWorkerStartHook([] { hit(g_calls++); });
    else
        install::setSwitchPointHook([](std::size_t point) { return hit(point), std::error_code(); });
    const zip::Tree before = zip::snapshot(m_parent);

    EXPECT_FALSE(install());

    expectOneFailureBox(GetParam().reason);
    if (fs::exists(m_parent / "lib-déplacé")) { // the link stays where the test put it
        fs::remove(m_app / "lib");
        fs::rename(m_parent / "lib-déplacé", m_app / "lib");
    }
    EXPECT_EQ(zip::snapshot(m_parent), before);
}

INSTANTIATE_TEST_SUITE_P(Faults, SwitchOverFaultTest, ::testing::ValuesIn(kFaults), [](const auto &info) { return std::string(info.param.name); });

// A file the switch-over cannot move, after others were moved: the rename's own error runs the undo.
TEST_F(InstallFixture, UnmovableFileAfterOthersPutsEverythingBack)
{
    for (const char *file : {"a.txt", "lib/b.dll", "z.txt"})
        writeAppFile(file, std::string("ancien ") + file);
    writePackage({{"a.txt", "nouveau a"}, {"lib/b.dll", "nouveau b"}, {"lib/c.dll", "nouveau c"}, {"z.txt", "nouveau z"}});
    const zip::Tree before = zip::snapshot(m_parent);
    Obstacle obstacle(m_app / "z.txt");
    if (!obstacle.set())
        GTEST_SKIP() << "this file system cannot make a file unmovable";
    EXPECT_FALSE(install());
    expectOneFailureBox("Kestrel 11 reste dans sa version précédente.");
    obstacle.lift();
    EXPECT_EQ(zip::snapshot(m_parent), before);
}

// Watches how much the staged content holds each time the engine reports progress.
struct StagedBytes final : BusyCounter {
    explicit StagedBytes(fs::path folder) : staging(std::move(folder)) {}
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

class DeclaredSizeTest : public InstallFixture, public ::testing::WithParamInterface<zip::Compression> {};

// The uncompressed size that the local header and the central directory declare is rewritten smaller.
TEST_P(DeclaredSizeTest, DataBeyondItIsDamageAndIsNeverWritten)
{
    std::string bytes = zip::buildZip({{"petit.txt", "0123456789"}, {"gros.bin", std::string(1 << 20, 'x')}}, GetParam());
    zip::putLE(bytes, zip::centralRecord(bytes, "gros.bin") + 24, 10);
    zip::putLE(bytes, zip::getLE(bytes, zip::centralRecord(bytes, "gros.bin") + 42) + 22, 10);
    zip::writeFile(m_package, bytes);
    const zip::Tree before = zip::snapshot(m_parent);
    StagedBytes observer(m_updates / install::kStagingFolderName / "content");

    const install::InstallResult result = install::installPackage(m_package, m_app, observer);

    EXPECT_EQ(result.outcome, install::InstallOutcome::Failed);
    EXPECT_NE(result.description.find(GetParam() == zip::Compression::Stored ? "annonce plus de données" : "endommagé"), std::string::npos)
        << result.description;
    EXPECT_NE(result.description.find("gros.bin"), std::string::npos) << result.description;
    EXPECT_EQ(zip::snapshot(m_parent), before);
    EXPECT_LE(observer.most, 20U);
}

INSTANTIATE_TEST_SUITE_P(Compressions, DeclaredSizeTest, ::testing::Values(zip::Compression::Stored, zip::Compression::Deflated),
                         [](const auto &info) { return std::string(info.param == zip::Compression::Stored ? "stored" : "deflated"); });

} // namespace
} // namespace kestrel::test
