// nodeKind and removeTree on this system's own links, folders and special files.

#include "FileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace kestrel::platform;

namespace {

NodeKind kindOf(const fs::path &path)
{
    std::error_code error;
    const NodeKind kind = nodeKind(path, error);
    EXPECT_FALSE(error) << path;
    return kind;
}

// A tree holding links to a file and a folder outside it.
TEST(NodeTree, linksAreSeenAndNeverFollowed)
{
    std::string pattern = (fs::temp_directory_path() / "kestrel-nodes-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern, tree = root / "tree", outside = root / "outside";
    fs::create_directories(tree / "sub");
    fs::create_directory(outside);
    std::ofstream(outside / "keep.txt") << "keep";
    std::ofstream(tree / "sub" / "file.txt") << "x";
    fs::create_directory_symlink(outside, tree / "sub" / "to-folder");
    fs::create_symlink(outside / "keep.txt", tree / "to-file");
    ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0600), 0);

    EXPECT_EQ(kindOf(tree), NodeKind::Folder);
    EXPECT_EQ(kindOf(tree / "sub" / "file.txt"), NodeKind::File);
    EXPECT_EQ(kindOf(tree / "sub" / "to-folder"), NodeKind::Link);
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
