// The file services on this system's own files, folders, links and special files.
#include "os/FileSystem.h"
#include "os/FolderTree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

os::NodeKind kindOf(const fs::path &path)
{
    std::error_code error;
    const os::NodeKind kind = os::nodeKind(path, error);
    EXPECT_FALSE(error) << path;
    return kind;
}

TEST(FileSystem, trailingSeparatorIsAddedExactlyOnceWhereMissing)
{
    const struct { std::string folder; char separator; std::string expected; } rows[] = {
        {"/a/b", '/', "/a/b/"}, {"/a/b/", '/', "/a/b/"}, {"C:\\Apps/", '\\', "C:\\Apps/\\"}}; // the other separator is not the one wanted
    for (const auto &row : rows)
        EXPECT_EQ(os::withTrailingSeparator(row.folder, row.separator), row.expected) << row.folder;
}

TEST(FileSystem, programFolderIsTheTestExecutablesFolder)
{
    const std::string folder = os::programFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(fs::equivalent(folder, KESTREL_TEST_EXECUTABLE_FOLDER)) << folder;
}

// Plain files, a pipe, links to a file and a folder outside: ordinary files are plain files or links to one; links are seen, removed, never followed.
TEST(FileSystem, filesPipesAndLinks)
{
    std::string pattern = (fs::temp_directory_path() / "kestrel-fs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern, tree = root / "tree", outside = root / "outside";
    fs::create_directories(tree / "folder.exe");
    fs::create_directory(outside);
    std::ofstream(outside / "keep.exe") << "MZ";
    std::ofstream(tree / "kestrel11.exe") << "MZ";
    std::ofstream(tree / "nom accentué é.exe").close();
    ASSERT_EQ(::mkfifo((tree / "pipe.exe").c_str(), 0600), 0);
    fs::create_symlink(outside / "keep.exe", tree / "to-file.exe");
    fs::create_directory_symlink(outside, tree / "folder.exe" / "to-folder.exe");
    fs::create_symlink(tree / "nowhere.exe", tree / "dangling.exe");

    for (const char *name : {"kestrel11.exe", "nom accentué é.exe", "to-file.exe"})
        EXPECT_TRUE(os::isOrdinaryFile((tree / name).string())) << name;
    for (const char *name : {"folder.exe", "missing.exe", "pipe.exe", "folder.exe/to-folder.exe", "dangling.exe"})
        EXPECT_FALSE(os::isOrdinaryFile((tree / name).string())) << name;
    EXPECT_FALSE(os::isOrdinaryFile("") || os::isOrdinaryFile("/dev/null"));
    const std::pair<fs::path, os::NodeKind> kinds[] = {{tree, os::NodeKind::Folder}, {tree / "kestrel11.exe", os::NodeKind::File},
        {tree / "folder.exe" / "to-folder.exe" / "", os::NodeKind::Link}, {tree / "to-file.exe", os::NodeKind::Link},
        {tree / "pipe.exe", os::NodeKind::Other}, {tree / "missing.exe", os::NodeKind::Missing}};
    for (const auto &[path, kind] : kinds)
        EXPECT_EQ(kindOf(path), kind) << path;
    // The kinds of many names come from one listing (16 names or more), of a few one by one.
    os::FolderTree opened;
    ASSERT_FALSE(opened.open(tree));
    std::vector<fs::path> names;
    for (int i = 0; i < 3; ++i)
        names.insert(names.end(), {"kestrel11.exe", "folder.exe", "to-file.exe", "pipe.exe", "missing.exe", "dangling.exe"});
    for (const std::size_t count : {std::size_t{6}, names.size()}) {
        std::vector<os::NodeKind> found;
        EXPECT_FALSE(opened.kinds({}, {names.begin(), names.begin() + count}, found));
        for (std::size_t i = 0; i < count; ++i)
            EXPECT_EQ(found.at(i), kindOf(tree / names[i])) << names[i] << ' ' << count;
    }
    opened.close();

    EXPECT_FALSE(os::removeTree(tree / "to-file.exe"));
    EXPECT_EQ(kindOf(tree / "to-file.exe"), os::NodeKind::Missing);
    EXPECT_FALSE(os::removeTree(tree / ""));
    EXPECT_EQ(kindOf(tree), os::NodeKind::Missing);
    EXPECT_EQ(kindOf(outside / "keep.exe"), os::NodeKind::File);
    EXPECT_FALSE(os::removeTree(tree)) << "nothing there is no failure";
    fs::remove_all(root);
}

// Deeper than the open files allowed: the removal holds two folders open at any depth.
TEST(FileSystem, removesATreeDeeperThanTheOpenFilesAllowed)
{
    const fs::path root = fs::temp_directory_path() / ("kestrel-deep-" + std::to_string(::getpid()));
    fs::create_directory(root);
    int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 1500 && folder >= 0; ++depth) {
        ASSERT_EQ(::mkdirat(folder, "d", 0755), 0);
        std::ofstream(root / ("f" + std::to_string(depth))).close();
        const int next = ::openat(folder, "d", O_RDONLY | O_DIRECTORY);
        ::close(folder);
        folder = next;
    }
    ::close(folder);
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit lowered{64, limit.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    const std::error_code error = os::removeTree(root);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(kindOf(root), os::NodeKind::Missing);
}

} // namespace
