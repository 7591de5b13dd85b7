#include "install/InstallFixture.h"

#include "install/steps/Cleanup.h"

#include <unistd.h>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

struct CleanupCase {
    const char *name;
    std::function<void(const fs::path &package)> prepare;
    bool packageStays;
    std::vector<float> bar;
};

class CleanupTest : public InstallFixture, public ::testing::WithParamInterface<CleanupCase> {};

// Whatever happens to the package, the step succeeds silently and touches nothing else.
TEST_P(CleanupTest, DeletesOnlyThePackageAndAlwaysSucceeds)
{
    if (std::string(GetParam().name) == "undeletable" && ::geteuid() == 0)
        GTEST_SKIP() << "root deletes from a read-only folder";
    zip::writeFile(m_package, "PK");
    zip::writeFile(m_updates / "journal.txt", "autre fichier");
    GetParam().prepare(m_package);
    m_host.bar.setMax(3.0F);

    EXPECT_TRUE(install::steps::CleanTemporaryFiles(m_host));
    fs::permissions(m_updates, fs::perms::owner_write, fs::perm_options::add);

    EXPECT_EQ(fs::exists(m_package), GetParam().packageStays);
    EXPECT_EQ(fileText(m_updates / "journal.txt") + fileText(m_app / "kestrel11.exe"), "autre fichierancienne version");
    EXPECT_EQ(m_host.bar.values, GetParam().bar);
    EXPECT_TRUE(m_host.boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Packages, CleanupTest,
    ::testing::Values(
        CleanupCase{"present", [](const fs::path &) {}, false, {0.0F, 1.5F, 3.0F}},
        CleanupCase{"already_gone", [](const fs::path &p) { fs::remove(p); }, false, {0.0F, 3.0F}},
        CleanupCase{"folder_of_that_name", [](const fs::path &p) { fs::remove(p), fs::create_directory(p); }, true, {0.0F, 3.0F}},
        CleanupCase{"undeletable", [](const fs::path &p) { fs::permissions(p.parent_path(), fs::perms::owner_write, fs::perm_options::remove); },
                    true, {0.0F, 1.5F, 3.0F}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
