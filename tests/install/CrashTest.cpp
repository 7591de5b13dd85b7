#include "install/InstallFixture.h"

#include "install/Recovery.h"

#include <set>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

// 201 files replaced (set aside, then put in), 40 new in an old folder, a new folder, a new file: 444 renames, then the commit's two points.
constexpr std::size_t kRenames = 201 + 201 + 40 + 1 + 1;

std::string numbered(const char *prefix, std::size_t i)
{
    char name[40];
    std::snprintf(name, sizeof name, "%s%03zu", prefix, i);
    return name;
}

// The old application with its package, and the folder a complete installation leaves: the package's files over the old ones.
struct Prepared {
    QTemporaryDir folder;
    fs::path oldApp = fs::path(folder.path().toStdString()) / "ancien";
    zip::Tree oldTree, newTree;

    Prepared()
    {
        std::vector<zip::Entry> package = {{"kestrel11.exe", "v2"}, {"readme.txt", "lisez-moi"}};
        std::vector<std::pair<fs::path, std::string>> old = {{"kestrel11.exe", "v1"}, {"notes.txt", "mes notes"}, {"lib/user.cfg", "mes réglages"}};
        // Files replaced in two folders, then files new to an old folder and to a new one.
        const struct { const char *prefix; int count; bool replaced; } groups[] = {{"lib/f", 120, true}, {"data/d", 80, true}, {"lib/g", 40, false}, {"plugins/p", 30, false}};
        for (const auto &group : groups)
            for (int i = 0; i < group.count; ++i) {
                if (group.replaced)
                    old.push_back({numbered(group.prefix, i), "ancien " + std::to_string(i)});
                package.push_back({numbered(group.prefix, i), "nouveau " + std::to_string(i)});
            }
        for (const auto &[file, text] : old)
            fs::create_directories((oldApp / file).parent_path()), zip::writeFile(oldApp / file, text);
        fs::create_directories(oldApp / "updates");
        zip::writeZip(oldApp / "updates/maj.zip", package);
        newTree = oldTree = zip::snapshot(oldApp);
        newTree["plugins/"] = "";
        for (const zip::Entry &entry : package)
            newTree[entry.path] = entry.data;
    }
};

std::vector<std::size_t> killPoints()
{
    std::set<std::size_t> points = {1, 200, 201, 202, kRenames - 1, kRenames, kRenames + 1, kRenames + 2};
    for (std::size_t point = 0; point <= kRenames; point += 8)
        points.insert(point);
    return {points.begin(), points.end()};
}

class KilledInstall : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_prepared = std::make_unique<Prepared>(); }
    static void TearDownTestSuite() { s_prepared.reset(); }
    static inline std::unique_ptr<Prepared> s_prepared;

    // A copy of the old application whose installation was killed at the given point.
    fs::path killedAt(const char *name, std::size_t point)
    {
        const fs::path app = fs::path(work.path().toStdString()) / name;
        fs::copy(s_prepared->oldApp, app, fs::copy_options::recursive);
        runCrashChild((app / "updates/maj.zip").string(), app.string(), point);
        return app;
    }
    QTemporaryDir work;
};

class CrashTest : public KilledInstall, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(CrashTest, RecoveryLeavesTheFolderWhollyOldOrWhollyNew)
{
    const std::size_t point = GetParam();
    const fs::path app = killedAt("Kestrel 11", point);
    ASSERT_FALSE(HasFailure());

    const install::RecoveryResult recovery = install::recoverInterruptedInstall(app / "updates");

    const auto expected = point < kRenames ? install::RecoveryOutcome::RolledBack
        : point < kRenames + 2             ? install::RecoveryOutcome::Completed
                                           : install::RecoveryOutcome::Nothing;
    EXPECT_EQ(recovery.outcome, expected) << recovery.description;
    EXPECT_EQ(zip::snapshot(app), point < kRenames ? s_prepared->oldTree : s_prepared->newTree);
}

// A record copied into another application's updates folder, or reached through an updates folder replaced by a link, moves nothing on either side.
TEST_F(KilledInstall, RecordOfAnotherFolderOrBehindALinkMovesNothing)
{
    for (const bool link : {false, true}) {
        const fs::path killed = killedAt(link ? "lien" : "copie", kRenames / 2), other = killed.string() + "-autre";
        if (link) {
            fs::rename(killed / "updates", other);
            fs::create_directory_symlink(other, killed / "updates");
        } else {
            fs::copy(s_prepared->oldApp, other, fs::copy_options::recursive);
            fs::copy(killed / "updates", other / "updates", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        }
        const zip::Tree killedTree = zip::snapshot(killed), otherTree = zip::snapshot(other);

        const install::RecoveryOutcome outcome = install::recoverInterruptedInstall((link ? killed : other) / "updates").outcome;

        EXPECT_TRUE(link ? outcome != install::RecoveryOutcome::RolledBack : outcome == install::RecoveryOutcome::Failed) << link;
        EXPECT_EQ(zip::snapshot(killed), killedTree) << link;
        EXPECT_EQ(zip::snapshot(other), otherTree) << link;
    }
}

// A backup folder swapped for a link to a neighbour holding a file named as one set aside: the recovery changes nothing there.
TEST_F(KilledInstall, LinkInTheBackupsLeadsNowhere)
{
    const fs::path killed = killedAt("interrompu", 150);
    const fs::path backup = killed / "updates/kestrel-staging/backup/lib", neighbour = killed.parent_path() / "voisin";
    fs::create_directory(neighbour);
    zip::writeFile(neighbour / numbered("f", 0), "à garder");
    fs::rename(backup, killed.parent_path() / "ailleurs");
    fs::create_directory_symlink(neighbour, backup);
    const zip::Tree around = zip::snapshot(neighbour);

    EXPECT_EQ(install::recoverInterruptedInstall(killed / "updates").outcome, install::RecoveryOutcome::Failed);

    EXPECT_EQ(zip::snapshot(neighbour), around);
}

// A new file gone after the installation was killed, then the recovery killed at one of its renames: the next one puts every old file back and names it.
struct VanishedCase {
    std::size_t installKilledAt;
    const char *removed; // relative to the application folder
    std::size_t recoveryKilledAt;
};

class VanishedFileTest : public KilledInstall, public ::testing::WithParamInterface<VanishedCase> {};

TEST_P(VanishedFileTest, OldVersionComesBackWhole)
{
    const fs::path app = killedAt("Kestrel 11", GetParam().installKilledAt);
    ASSERT_TRUE(fs::remove(app / GetParam().removed));
    runCrashChild("--recover", (app / "updates").string(), GetParam().recoveryKilledAt);

    const install::RecoveryResult recovery = install::recoverInterruptedInstall(app / "updates");

    EXPECT_EQ(recovery.outcome, install::RecoveryOutcome::RolledBack) << recovery.description;
    EXPECT_TRUE(!recovery.vanished.empty() && std::string(GetParam().removed).ends_with(recovery.vanished));
    EXPECT_EQ(zip::snapshot(app), s_prepared->oldTree);
}

INSTANTIATE_TEST_SUITE_P(Removed, VanishedFileTest,
                         ::testing::Values(VanishedCase{kRenames, "readme.txt", 0}, VanishedCase{kRenames, "kestrel11.exe", 300},
                                           VanishedCase{kRenames + 1, "readme.txt", 100},
                                           VanishedCase{150, "updates/kestrel-staging/content/readme.txt", 0},
                                           VanishedCase{300, "updates/kestrel-staging/content/lib/g039", 50}),
                         [](const auto &info) { return numbered("case_", info.index); });

INSTANTIATE_TEST_SUITE_P(Points, CrashTest, ::testing::ValuesIn(killPoints()),
                         [](const auto &info) { return numbered("killed_at_point_", info.param); });

} // namespace
} // namespace kestrel::test
