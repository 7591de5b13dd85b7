// The file services on this system's own files, folders, links and special files.
#include "FileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace kestrel::platform;

namespace {

fs::path freshFolder()
{
    std::string pattern = (fs::temp_directory_path() / "kestrel-fs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw fs::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
    return pattern;
}

NodeKind kindOf(const fs::path &path)
{
    std::error_code error;
    const NodeKind kind = nodeKind(path, error);
    EXPECT_FALSE(error) << path;
    return kind;
}

TEST(FileSystem, trailingSeparatorIsAddedExactlyOnceWhereMissing)
{
    const struct {
        std::string folder;
        char separator;
        std::string expected;
    } rows[] = {{"/a/b", '/', "/a/b/"},
                {"/a/b/", '/', "/a/b/"},
                {"/", '/', "/"},
                {"C:\\Apps\\Kestrel", '\\', "C:\\Apps\\Kestrel\\"},
                {"D:\\", '\\', "D:\\"},
                {"C:\\Apps/", '\\', "C:\\Apps/\\"}}; // the other separator is not the one wanted
    for (const auto &row : rows)
        EXPECT_EQ(withTrailingSeparator(row.folder, row.separator), row.expected) << row.folder;
}

TEST(FileSystem, programFolderIsTheTestExecutablesFolder)
{
    const std::string folder = programFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(fs::equivalent(folder, KESTREL_TEST_EXECUTABLE_FOLDER)) << folder;
}

// Plain files count, and links to them; folders, pipes, devices and dangling links do not.
TEST(FileSystem, ordinaryFileIsAPlainFileOrALinkToOne)
{
    const fs::path folder = freshFolder();
    for (const char *name : {"kestrel11.exe", "nom accentué é.exe"})
        std::ofstream(folder / name) << "MZ";
    std::ofstream(folder / "empty.exe").close();
    fs::create_directory(folder / "folder.exe");
    ASSERT_EQ(::mkfifo((folder / "pipe.exe").c_str(), 0600), 0);
    fs::create_symlink(folder / "kestrel11.exe", folder / "to-file.exe");
    fs::create_directory_symlink(folder, folder / "to-folder.exe");
    fs::create_symlink(folder / "nowhere.exe", folder / "dangling.exe");

    for (const char *name : {"kestrel11.exe", "nom accentué é.exe", "empty.exe", "to-file.exe"})
        EXPECT_TRUE(isOrdinaryFile((folder / name).string())) << name;
    for (const char *name : {"folder.exe", "missing.exe", "pipe.exe", "to-folder.exe", "dangling.exe"})
        EXPECT_FALSE(isOrdinaryFile((folder / name).string())) << name;
    EXPECT_FALSE(isOrdinaryFile(""));
    EXPECT_FALSE(isOrdinaryFile("/dev/null"));
    fs::remove_all(folder);
}

// A tree holding links to a file and a folder outside it: they are seen, removed, never followed.
TEST(FileSystem, linksAreSeenAndNeverFollowed)
{
    const fs::path root = freshFolder(), tree = root / "tree", outside = root / "outside";
    fs::create_directories(tree / "sub");
    fs::create_directory(outside);
    std::ofstream(outside / "keep.txt") << "keep";
    std::ofstream(tree / "sub" / "file.txt") << "x";
    fs::create_directory_symlink(outside, tree / "sub" / "to-folder");
    fs::create_symlink(outside / "keep.txt", tree / "to-file");
    ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0600), 0);

    EXPECT_EQ(kindOf(tree), NodeKind::Folder);
    EXPECT_EQ(kindOf(tree / "sub" / "file.txt"), NodeKind::File);
    EXPECT_EQ(kindOf(tree / "sub" / "to-folder" / ""), NodeKind::Link);
    EXPECT_EQ(kindOf(tree / "to-file"), NodeKind::Link);
    EXPECT_EQ(kindOf(tree / "pipe"), NodeKind::Other);
    EXPECT_EQ(kindOf(tree / "absent"), NodeKind::Missing);

    EXPECT_FALSE(removeTree(tree / "to-file"));
    EXPECT_EQ(kindOf(tree / "to-file"), NodeKind::Missing);
    EXPECT_FALSE(removeTree(tree / ""));
    EXPECT_EQ(kindOf(tree), NodeKind::Missing);
    EXPECT_EQ(kindOf(outside / "keep.txt"), NodeKind::File);
    EXPECT_FALSE(removeTree(tree)) << "nothing there is no failure";
    fs::remove_all(root);
}

} // namespace
