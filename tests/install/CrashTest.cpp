#include "install/InstallFixture.h"

#include "install/PackageInstaller.h"
#include "install/Recovery.h"

#include <QTemporaryDir>

#include <spawn.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

// 201 old files replaced (each set aside, then the new one put in), 40 new files in an old
// folder, one new folder and one new file: 444 renames, then the commit's two points.
constexpr std::size_t kRenames = 201 + 201 + 40 + 1 + 1;

std::string numbered(const char *prefix, int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d", prefix, i);
    return name;
}

void put(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    zip::writeFile(file, text);
}

// The old application, its package, and the folder as a finished installation leaves it.
struct Prepared {
    QTemporaryDir folder;
    fs::path oldApp;
    zip::Tree oldTree, newTree;

    Prepared()
    {
        oldApp = fs::path(folder.path().toStdString()) / "ancien";
        std::vector<zip::Entry> package = {{"kestrel11.exe", "v2"}, {"readme.txt", "lisez-moi"}};
        put(oldApp / "kestrel11.exe", "v1");
        put(oldApp / "notes.txt", "mes notes");
        put(oldApp / "lib/user.cfg", "mes réglages");
        for (int i = 0; i < 120; ++i) {
            put(oldApp / "lib" / numbered("f", i), "ancien " + std::to_string(i));
            package.push_back({"lib/" + numbered("f", i), "nouveau " + std::to_string(i)});
        }
        for (int i = 0; i < 80; ++i) {
            put(oldApp / "data" / numbered("d", i), "anciennes données");
            package.push_back({"data/" + numbered("d", i), "nouvelles données " + std::to_string(i)});
        }
        for (int i = 0; i < 40; ++i)
            package.push_back({"lib/" + numbered("g", i), "ajout"});
        for (int i = 0; i < 30; ++i)
            package.push_back({"plugins/" + numbered("p", i), "greffon"});
        fs::create_directories(oldApp / "updates");
        zip::writeZip(oldApp / "updates/maj.zip", package);
        oldTree = zip::snapshot(oldApp);
        const fs::path newApp = oldApp.parent_path() / "nouveau";
        fs::copy(oldApp, newApp, fs::copy_options::recursive);
        struct Quiet final : install::InstallObserver {
            void started(std::size_t) override {}
            void topLevelStaged(std::size_t) override {}
            void busy() override {}
        } quiet;
        if (install::installPackage(newApp / "updates/maj.zip", newApp, quiet).outcome
            != install::InstallOutcome::Installed)
            throw std::runtime_error("the package does not install");
        newTree = zip::snapshot(newApp);
    }
};

std::vector<std::size_t> killPoints()
{
    std::set<std::size_t> points = {1, 200, 201, 202, kRenames - 1, kRenames, kRenames + 1, kRenames + 2};
    for (std::size_t point = 0; point <= kRenames; point += 8)
        points.insert(point);
    return {points.begin(), points.end()};
}

class CrashTest : public ::testing::TestWithParam<std::size_t> {
protected:
    static void SetUpTestSuite() { s_prepared = std::make_unique<Prepared>(); }
    static void TearDownTestSuite() { s_prepared.reset(); }
    static inline std::unique_ptr<Prepared> s_prepared;

    // A copy of the old application whose installation was killed at the given point.
    static fs::path killedAt(const QTemporaryDir &work, const char *name, std::size_t point)
    {
        const fs::path app = fs::path(work.path().toStdString()) / name;
        fs::copy(s_prepared->oldApp, app, fs::copy_options::recursive);
        const std::string package = (app / "updates/maj.zip").string(), target = app.string();
        const std::string pointText = std::to_string(point);
        char *argv[] = {const_cast<char *>(KESTREL_CRASH_CHILD), const_cast<char *>(package.c_str()),
                        const_cast<char *>(target.c_str()), const_cast<char *>(pointText.c_str()), nullptr};
        pid_t child = 0;
        int status = 0;
        EXPECT_EQ(::posix_spawn(&child, KESTREL_CRASH_CHILD, nullptr, nullptr, argv, environ), 0);
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
        return app;
    }
};

TEST_P(CrashTest, RecoveryLeavesTheFolderWhollyOldOrWhollyNew)
{
    const std::size_t point = GetParam();
    QTemporaryDir work;
    const fs::path app = killedAt(work, "Kestrel 11", point);
    ASSERT_FALSE(HasFailure());

    const install::RecoveryResult recovery = install::recoverInterruptedInstall(app / "updates");

    const auto expected = point < kRenames ? install::RecoveryOutcome::RolledBack
        : point < kRenames + 2             ? install::RecoveryOutcome::Completed
                                           : install::RecoveryOutcome::Nothing;
    EXPECT_EQ(recovery.outcome, expected) << recovery.description;
    EXPECT_EQ(zip::snapshot(app), point < kRenames ? s_prepared->oldTree : s_prepared->newTree);
}

// A record is only obeyed for the folder that holds its updates folder: one copied from another
// application's updates folder moves nothing in either.
TEST_F(CrashTest, RecordOfAnotherFolderIsRefusedAndMovesNothing)
{
    QTemporaryDir work;
    const fs::path killed = killedAt(work, "interrompu", kRenames / 2);
    const fs::path other = fs::path(work.path().toStdString()) / "autre";
    fs::copy(s_prepared->oldApp, other, fs::copy_options::recursive);
    fs::copy(killed / "updates", other / "updates", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    const zip::Tree killedTree = zip::snapshot(killed), otherTree = zip::snapshot(other);

    EXPECT_EQ(install::recoverInterruptedInstall(other / "updates").outcome, install::RecoveryOutcome::Failed);

    EXPECT_EQ(zip::snapshot(killed), killedTree);
    EXPECT_EQ(zip::snapshot(other), otherTree);
}

// An updates folder replaced by a link to the interrupted run's own updates folder is not followed:
// the recovery moves nothing on either side.
TEST_F(CrashTest, UpdatesFolderReplacedByALinkIsNotFollowed)
{
    QTemporaryDir work;
    const fs::path killed = killedAt(work, "interrompu", kRenames / 2);
    const fs::path moved = fs::path(work.path().toStdString()) / "ailleurs";
    fs::rename(killed / "updates", moved);
    fs::create_directory_symlink(moved, killed / "updates");
    const zip::Tree killedTree = zip::snapshot(killed), movedTree = zip::snapshot(moved);

    EXPECT_NE(install::recoverInterruptedInstall(killed / "updates").outcome, install::RecoveryOutcome::RolledBack);

    EXPECT_EQ(zip::snapshot(killed), killedTree);
    EXPECT_EQ(zip::snapshot(moved), movedTree);
}

INSTANTIATE_TEST_SUITE_P(Points, CrashTest, ::testing::ValuesIn(killPoints()),
                         [](const auto &info) { return numbered("killed_at_point_", static_cast<int>(info.param)); });

} // namespace
} // namespace kestrel::test
