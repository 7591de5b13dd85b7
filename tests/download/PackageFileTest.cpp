#include "os/PackageFile.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

#include <sys/stat.h>

namespace kestrel::test {
namespace {

using os::PackageFile;
namespace fs = std::filesystem;

const std::string kPart = "maj_kestrel11_2.0.0.zip.part";
const std::string kFinal = "maj_kestrel11_2.0.0.zip";
const std::string kOutside = "fichier de l'utilisateur";

std::string readAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const fs::path &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// An application folder with its updates folder, and a file of the user's outside it.
struct Place {
    QTemporaryDir dir;
    fs::path app = fs::path(dir.path().toStdString()) / "app";
    fs::path updates = app / "updates";
    fs::path outside = fs::path(dir.path().toStdString()) / "outside.txt";
    Place()
    {
        fs::create_directories(updates);
        writeAll(outside, kOutside);
    }
};

struct Planted {
    const char *name;
    std::function<void(Place &)> plant;
    os::PackageFile::Stage refusedAt; // None: cleared away, and the package written
};

void PrintTo(const Planted &p, std::ostream *out) { *out << p.name; }

const Planted kPlanted[] = {
    {"NothingThere", [](Place &) {}, os::PackageFile::Stage::None},
    {"SymlinkToUserFile", [](Place &p) { fs::create_symlink(p.outside, p.updates / kPart); }, os::PackageFile::Stage::None},
    {"HardLinkToUserFile", [](Place &p) { fs::create_hard_link(p.outside, p.updates / kPart); }, os::PackageFile::Stage::None},
    {"Fifo", [](Place &p) { ASSERT_EQ(::mkfifo((p.updates / kPart).c_str(), 0600), 0); }, os::PackageFile::Stage::None},
    {"EmptyFolder", [](Place &p) { fs::create_directory(p.updates / kPart); }, os::PackageFile::Stage::None},
    {"SymlinkAtFinalName", [](Place &p) { fs::create_symlink(p.outside, p.updates / kFinal); }, os::PackageFile::Stage::None},
    {"FolderHoldingFiles", [](Place &p) {
         fs::create_directory(p.updates / kPart);
         writeAll(p.updates / kPart / "garder.txt", "garder");
     }, os::PackageFile::Stage::Clear},
    {"UpdatesFolderIsSymlink", [](Place &p) {
         fs::remove(p.updates);
         fs::create_directory_symlink(p.outside.parent_path(), p.updates);
     }, os::PackageFile::Stage::FolderIsLink},
};

class PlantedAtPackage : public ::testing::TestWithParam<Planted> {};

TEST_P(PlantedAtPackage, IsNeverWrittenThrough)
{
    Place place;
    GetParam().plant(place);
    const fs::path outsideFolder = place.outside.parent_path();
    os::PackageFile package;
    const os::PackageFile::Problem created = package.create(place.updates.string() + "/", kPart);
    EXPECT_EQ(created.stage, GetParam().refusedAt);
    if (!created) {
        ASSERT_FALSE(package.write("PK\x03\x04", 4));
        ASSERT_FALSE(package.write("paquet", 6));
        ASSERT_FALSE(package.commit(kFinal));
        EXPECT_EQ(readAll(place.updates / kFinal), "PK\x03\x04paquet");
        EXPECT_FALSE(fs::is_symlink(place.updates / kFinal));
        EXPECT_FALSE(fs::exists(fs::symlink_status(place.updates / kPart)));
    }
    // The user's file is intact and alone where it was: nothing was written or made beside it.
    EXPECT_EQ(readAll(place.outside), kOutside);
    EXPECT_EQ(fs::hard_link_count(place.outside), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(outsideFolder), fs::directory_iterator()), 2); // app, outside
}

INSTANTIATE_TEST_SUITE_P(Entries, PlantedAtPackage, ::testing::ValuesIn(kPlanted),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
