// How entry paths and entry types are read, on plain values, and the installing engine alone.

#include "EntryPath.h"
#include "PackageInstaller.h"
#include "ZipBuilder.h"

#include <archive_entry.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

namespace kestrel::install {
namespace {

struct PathCase {
    const char *name;
    const char *path;
    PathVerdict verdict;
    std::vector<std::string> components;
};

class EntryPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(EntryPathTest, ReadsComponentsOrRefuses)
{
    const EntryPath read = readEntryPath(GetParam().path);
    EXPECT_EQ(read.verdict, GetParam().verdict);
    EXPECT_EQ(read.components, GetParam().components);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EntryPathTest,
    ::testing::Values(PathCase{"file", "a.txt", PathVerdict::Inside, {"a.txt"}},
                      PathCase{"folder", "dir/", PathVerdict::Inside, {"dir"}},
                      PathCase{"dots_doubled_slashes_backslash", "./dir//sub\\f.txt", PathVerdict::Inside, {"dir", "sub", "f.txt"}},
                      PathCase{"dots_inside_names", "..a/b..", PathVerdict::Inside, {"..a", "b.."}},
                      PathCase{"dot_slash", "./", PathVerdict::Root, {}},
                      PathCase{"empty", "", PathVerdict::Root, {}},
                      PathCase{"absolute", "/etc/passwd", PathVerdict::Absolute, {}},
                      PathCase{"unc_share", "\\\\serveur\\partage", PathVerdict::Absolute, {}},
                      PathCase{"drive_letter", "C:\\Windows", PathVerdict::DriveOrStream, {}},
                      PathCase{"drive_relative", "c:x", PathVerdict::DriveOrStream, {}},
                      PathCase{"alternate_stream", "a.txt:flux", PathVerdict::DriveOrStream, {}},
                      PathCase{"parent", "..", PathVerdict::ParentStep, {}},
                      PathCase{"parent_beyond_root", "a/../../b", PathVerdict::ParentStep, {}},
                      PathCase{"parent_backslash", "a\\..\\b", PathVerdict::ParentStep, {}},
                      PathCase{"parent_at_end", "a/..", PathVerdict::ParentStep, {}}),
    [](const auto &info) { return std::string(info.param.name); });

struct KindCase {
    const char *name;
    unsigned fileType;
    const char *hardlink;
    EntryKind kind;
};

class EntryKindTest : public ::testing::TestWithParam<KindCase> {};

// Zip cannot carry hard links or devices in a way the writer accepts, so these are built here.
TEST_P(EntryKindTest, ClassifiesTheHeader)
{
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
    archive_entry_set_pathname(entry.get(), "x");
    archive_entry_set_filetype(entry.get(), GetParam().fileType);
    if (GetParam().hardlink)
        archive_entry_set_hardlink(entry.get(), GetParam().hardlink);
    EXPECT_EQ(classifyEntry(entry.get()), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EntryKindTest,
    ::testing::Values(KindCase{"file", AE_IFREG, nullptr, EntryKind::File},
                      KindCase{"folder", AE_IFDIR, nullptr, EntryKind::Folder},
                      KindCase{"symlink", AE_IFLNK, nullptr, EntryKind::SymbolicLink},
                      KindCase{"hardlink", AE_IFREG, "kestrel11.exe", EntryKind::HardLink},
                      KindCase{"fifo", AE_IFIFO, nullptr, EntryKind::Special},
                      KindCase{"char_device", AE_IFCHR, nullptr, EntryKind::Special},
                      KindCase{"no_type", 0, nullptr, EntryKind::Special}),
    [](const auto &info) { return std::string(info.param.name); });

// The window may repaint while one large entry is written.
TEST(PackageInstallerTest, LargeEntryLetsTheWindowCatchUpBetweenDataBlocks)
{
    namespace fs = std::filesystem;
    struct Recorder final : InstallObserver {
        void started(std::size_t) override {}
        void topLevelStaged(std::size_t) override { busyAtStaged.push_back(busyCalls); }
        void busy() override { ++busyCalls; }
        int busyCalls = 0;
        std::vector<int> busyAtStaged;
    } recorder;
    std::string pattern = (fs::temp_directory_path() / "kestrel-engine-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path root(pattern);
    test::zip::writeZip(root / "p.zip", {{"gros.bin", std::string(8 << 20, 'k')}}, test::zip::Compression::Stored);

    const InstallResult result = installPackage(root / "p.zip", root / "app", recorder);

    EXPECT_EQ(result.outcome, InstallOutcome::Installed) << result.description;
    ASSERT_EQ(recorder.busyAtStaged.size(), 1U);
    EXPECT_GE(recorder.busyAtStaged.front(), 8) << "one call per data block at least";
    EXPECT_EQ(fs::file_size(root / "app" / "gros.bin"), std::uintmax_t{8} << 20);
    fs::remove_all(root);
}

} // namespace
} // namespace kestrel::install
