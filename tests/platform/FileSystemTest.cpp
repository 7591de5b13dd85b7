#include "FileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace kestrel::platform;

namespace {

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
    std::string pattern = (fs::temp_directory_path() / "kestrel-fs-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path folder(pattern);
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

} // namespace
