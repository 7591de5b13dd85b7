// How entry paths and entry types are read, on plain values.

#include "EntryPath.h"
#include "PackageInstaller.h"

#include <archive_entry.h>

#include <gtest/gtest.h>

#include <memory>

namespace kestrel::install {
namespace {

struct PathCase {
    const char *path;
    PathVerdict verdict;
    std::vector<std::string> components;
};

class EntryPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(EntryPathTest, ReadsComponentsOrRefuses)
{
    const EntryPath read = readEntryPath(GetParam().path);
    EXPECT_EQ(read.verdict, GetParam().verdict) << GetParam().path;
    EXPECT_EQ(read.components, GetParam().components) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, EntryPathTest,
    ::testing::Values(PathCase{"a.txt", PathVerdict::Inside, {"a.txt"}},
                      PathCase{"dir/", PathVerdict::Inside, {"dir"}},
                      PathCase{"./dir//sub\\f.txt", PathVerdict::Inside, {"dir", "sub", "f.txt"}},
                      PathCase{"a/./b", PathVerdict::Inside, {"a", "b"}},
                      PathCase{"..a/b..", PathVerdict::Inside, {"..a", "b.."}},
                      PathCase{"./", PathVerdict::Root, {}},
                      PathCase{"", PathVerdict::Root, {}},
                      PathCase{"/etc/passwd", PathVerdict::Absolute, {}},
                      PathCase{"\\\\serveur\\partage", PathVerdict::Absolute, {}},
                      PathCase{"C:\\Windows", PathVerdict::DriveOrStream, {}},
                      PathCase{"c:x", PathVerdict::DriveOrStream, {}},
                      PathCase{"a.txt:flux", PathVerdict::DriveOrStream, {}},
                      PathCase{"..", PathVerdict::ParentStep, {}},
                      PathCase{"a/../../b", PathVerdict::ParentStep, {}},
                      PathCase{"a\\..\\b", PathVerdict::ParentStep, {}},
                      PathCase{"a/..", PathVerdict::ParentStep, {}}));

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
                      KindCase{"block_device", AE_IFBLK, nullptr, EntryKind::Special},
                      KindCase{"socket", AE_IFSOCK, nullptr, EntryKind::Special},
                      KindCase{"no_type", 0, nullptr, EntryKind::Special}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::install
