// The file services on this system's own files, folders, links and special files.
#include "os/FileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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
    const struct {
        std::string folder;
        char separator;
        std::string expected;
    } rows[] = {{"/a/b", '/', "/a/b/"}, {"/a/b/", '/', "/a/b/"}, {"/", '/', "/"},
                {"C:\\Apps", '\\', "C:\\Apps\\"}, {"D:\\", '\\', "D:\\"},
                {"C:\\Apps/", '\\', "C:\\Apps/\\"}}; // the other separator is not the one wanted
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

// A tree holding plain files, a pipe and links to a file and a folder outside it: ordinary
// files are plain files or links to one; links are seen, removed, never followed.
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
    EXPECT_FALSE(os::isOrdinaryFile(""));
    EXPECT_FALSE(os::isOrdinaryFile("/dev/null"));

    EXPECT_EQ(kindOf(tree), os::NodeKind::Folder);
    EXPECT_EQ(kindOf(tree / "kestrel11.exe"), os::NodeKind::File);
    EXPECT_EQ(kindOf(tree / "folder.exe" / "to-folder.exe" / ""), os::NodeKind::Link);
    EXPECT_EQ(kindOf(tree / "to-file.exe"), os::NodeKind::Link);
    EXPECT_EQ(kindOf(tree / "pipe.exe"), os::NodeKind::Other);
    EXPECT_EQ(kindOf(tree / "missing.exe"), os::NodeKind::Missing);

    EXPECT_FALSE(os::removeTree(tree / "to-file.exe"));
    EXPECT_EQ(kindOf(tree / "to-file.exe"), os::NodeKind::Missing);
    EXPECT_FALSE(os::removeTree(tree / ""));
    EXPECT_EQ(kindOf(tree), os::NodeKind::Missing);
    EXPECT_EQ(kindOf(outside / "keep.exe"), os::NodeKind::File);
    EXPECT_FALSE(os::removeTree(tree)) << "nothing there is no failure";
    fs::remove_all(root);
}

} // namespace
