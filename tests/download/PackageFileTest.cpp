#include "os/PackageFile.h"
#include "support/zip/ZipBuilder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using Stage = os::PackageFile::Stage;

const std::string kPart = "maj_kestrel11_2.0.0.zip.part", kFinal = "maj_kestrel11_2.0.0.zip", kOutside = "fichier de l'utilisateur";

// An application folder with its updates folder, and a file of the user's outside it.
struct Place {
    QTemporaryDir dir;
    fs::path app = fs::path(dir.path().toStdString()) / "app", updates = app / "updates", outside = app.parent_path() / "outside.txt";
    Place() { fs::create_directories(updates), zip::writeFile(outside, kOutside); }
};

struct Planted {
    const char *name;
    std::function<void(Place &)> plant;
    Stage refusedAt; // None: cleared away, and the package written
};

class PlantedAtPackage : public ::testing::TestWithParam<Planted> {};

TEST_P(PlantedAtPackage, IsNeverWrittenThrough)
{
    Place place;
    GetParam().plant(place);
    os::PackageFile package;
    const os::PackageFile::Problem created = package.create(place.updates.string() + "/", kPart);
    EXPECT_EQ(created.stage, GetParam().refusedAt);
    if (!created) {
        ASSERT_FALSE(package.write("PK\x03\x04", 4));
        ASSERT_FALSE(package.write("paquet", 6));
        ASSERT_FALSE(package.commit(kFinal));
        EXPECT_EQ(zip::readFile(place.updates / kFinal), "PK\x03\x04paquet");
        EXPECT_FALSE(fs::is_symlink(place.updates / kFinal));
        EXPECT_FALSE(fs::exists(fs::symlink_status(place.updates / kPart)));
    }
    // The user's file is intact and alone where it was: nothing was written or made beside it.
    EXPECT_EQ(zip::readFile(place.outside), kOutside);
    EXPECT_EQ(fs::hard_link_count(place.outside), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(place.outside.parent_path()), fs::directory_iterator()), 2); // app, outside
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PlantedAtPackage,
    ::testing::Values(
        Planted{"NothingThere", [](Place &) {}, Stage::None},
        Planted{"SymlinkToUserFile", [](Place &p) { fs::create_symlink(p.outside, p.updates / kPart); }, Stage::None},
        Planted{"HardLinkToUserFile", [](Place &p) { fs::create_hard_link(p.outside, p.updates / kPart); }, Stage::None},
        Planted{"Fifo", [](Place &p) { ASSERT_EQ(::mkfifo((p.updates / kPart).c_str(), 0600), 0); }, Stage::None},
        Planted{"EmptyFolder", [](Place &p) { fs::create_directory(p.updates / kPart); }, Stage::None},
        Planted{"SymlinkAtFinalName", [](Place &p) { fs::create_symlink(p.outside, p.updates / kFinal); }, Stage::None},
        Planted{"FolderHoldingFiles", [](Place &p) { fs::create_directory(p.updates / kPart), zip::writeFile(p.updates / kPart / "garder.txt", "garder"); }, Stage::Clear},
        Planted{"UpdatesFolderIsSymlink", [](Place &p) { fs::remove(p.updates), fs::create_directory_symlink(p.app.parent_path(), p.updates); },
                Stage::FolderIsLink}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test
