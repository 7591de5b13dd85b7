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

struct SeparatorCase {
    const char *title;
    std::string folder;
    char separator;
    std::string expected;
};

void PrintTo(const SeparatorCase &row, std::ostream *out)
{
    *out << row.title;
}

class TrailingSeparator : public ::testing::TestWithParam<SeparatorCase> {};

TEST_P(TrailingSeparator, addsExactlyOneWhereMissing)
{
    const SeparatorCase &row = GetParam();
    EXPECT_EQ(withTrailingSeparator(row.folder, row.separator), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, TrailingSeparator,
    ::testing::Values(
        SeparatorCase {"unixFolder", "/a/b", '/', "/a/b/"},
        SeparatorCase {"unixFolderWithSeparator", "/a/b/", '/', "/a/b/"},
        SeparatorCase {"unixRoot", "/", '/', "/"},
        SeparatorCase {"windowsFolder", "C:\\Apps\\Kestrel", '\\', "C:\\Apps\\Kestrel\\"},
        SeparatorCase {"windowsDriveRoot", "D:\\", '\\', "D:\\"},
        SeparatorCase {"otherSeparatorIsNotTheWanted", "C:\\Apps/", '\\', "C:\\Apps/\\"}),
    [](const ::testing::TestParamInfo<SeparatorCase> &info) { return std::string(info.param.title); });

TEST(FileSystem, nativeSeparatorIsSlash)
{
    EXPECT_EQ(nativeSeparator(), '/');
}

TEST(FileSystem, programFolderIsTheTestExecutablesFolder)
{
    const std::string folder = programFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(fs::equivalent(folder, KESTREL_TEST_EXECUTABLE_FOLDER)) << folder;
}

class OrdinaryFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrel-fs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_folder = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    std::string file(const std::string &name, const std::string &content = "MZ")
    {
        std::ofstream(m_folder / name, std::ios::binary) << content;
        return (m_folder / name).string();
    }
    fs::path m_folder;
};

TEST_F(OrdinaryFile, plainFilesCountAndOtherEntriesDoNot)
{
    EXPECT_TRUE(isOrdinaryFile(file("kestrel11.exe")));
    EXPECT_TRUE(isOrdinaryFile(file("empty.exe", "")));
    EXPECT_TRUE(isOrdinaryFile(file("nom accentué é.exe")));

    fs::create_directory(m_folder / "folder.exe");
    EXPECT_FALSE(isOrdinaryFile((m_folder / "folder.exe").string()));
    EXPECT_FALSE(isOrdinaryFile((m_folder / "missing.exe").string()));
    EXPECT_FALSE(isOrdinaryFile(""));

    ASSERT_EQ(::mkfifo((m_folder / "pipe.exe").c_str(), 0600), 0);
    EXPECT_FALSE(isOrdinaryFile((m_folder / "pipe.exe").string()));
    EXPECT_FALSE(isOrdinaryFile("/dev/null"));
}

TEST_F(OrdinaryFile, linkCountsAsWhatItPointsTo)
{
    fs::create_symlink(file("target.exe"), m_folder / "to-file.exe");
    fs::create_directory_symlink(m_folder, m_folder / "to-folder.exe");
    fs::create_symlink(m_folder / "nowhere.exe", m_folder / "dangling.exe");
    EXPECT_TRUE(isOrdinaryFile((m_folder / "to-file.exe").string()));
    EXPECT_FALSE(isOrdinaryFile((m_folder / "to-folder.exe").string()));
    EXPECT_FALSE(isOrdinaryFile((m_folder / "dangling.exe").string()));
}

} // namespace
