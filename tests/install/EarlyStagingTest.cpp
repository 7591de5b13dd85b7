// The package staged while it arrives: kept only when the complete package confirms every entry,
// and otherwise the installation ends exactly as the ordinary one does.

#include "install/ArrivingPackage.h"
#include "install/InstallFixture.h"
#include "install/PackageInstaller.h"

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

using zip::Compression;
using zip::Entry;

const std::vector<Entry> kFiles = {{"kestrel11.exe", std::string(70000, 'k')},
                                   {"aide/", "", zip::EntryType::Dir},
                                   {"aide/index.html", std::string(300000, 'h') + "fin"},
                                   {"outils/lancer.sh", "#!/bin/sh\n", zip::EntryType::File, 0755},
                                   {"LISEZMOI.txt", "Version 11.2"}};

std::uint32_t localHeader(const std::string &bytes, const char *entry) { return zip::getLE(bytes, zip::centralRecord(bytes, entry) + 42); }

// The last record of the central directory goes: its entry stays in the local headers only.
void dropLastRecord(std::string &bytes)
{
    const std::size_t record = zip::centralRecord(bytes, kFiles.back().path);
    const std::size_t length = 46 + zip::getLE(bytes, record + 28, 2) + zip::getLE(bytes, record + 30, 2) + zip::getLE(bytes, record + 32, 2);
    bytes.erase(record, length);
    const std::size_t end = bytes.size() - 22;
    for (const std::size_t count : {end + 8, end + 10})
        zip::putLE(bytes, count, zip::getLE(bytes, count, 2) - 1, 2);
    zip::putLE(bytes, end + 12, zip::getLE(bytes, end + 12) - static_cast<std::uint32_t>(length));
}

struct EarlyCase {
    const char *name;
    Compression compression;
    std::function<void(std::string &)> edit;
    bool kept; // the early staging is used
    const char *options = "";
};

const auto kAsBuilt = [](std::string &) {};

const EarlyCase kCases[] = {
    {"deflated_with_sizes_after_the_data", Compression::Deflated, kAsBuilt, true},
    {"stored", Compression::Stored, kAsBuilt, true},
    {"stored_zip64", Compression::Stored, kAsBuilt, true, "zip:zip64"},
    {"entry_only_in_the_local_headers", Compression::Stored, dropLastRecord, false},
    {"crc_changed_in_the_directory_only", Compression::Stored,
     [](std::string &b) { zip::putLE(b, zip::centralRecord(b, "LISEZMOI.txt") + 16, 0x12345678); }, false},
    // Though the CRC comes after the data, the one the local header gives must agree.
    {"crc_changed_in_the_local_header_only", Compression::Deflated,
     [](std::string &b) { zip::putLE(b, localHeader(b, "LISEZMOI.txt") + 14, 0x12345678); }, false},
    // The writer gives each CRC after the data, in a descriptor with a signature.
    {"crc_changed_after_the_local_data_only", Compression::Stored,
     [](std::string &b) { zip::putLE(b, zip::dataOffset(b, "LISEZMOI.txt") + 12 + 4, 0x12345678); }, false},
    {"size_changed_in_the_local_header_only", Compression::Stored,
     [](std::string &b) { zip::putLE(b, localHeader(b, "kestrel11.exe") + 22, 69999); }, false},
    {"size_changed_in_the_directory_only", Compression::Stored, [](std::string &b) {
         for (const std::size_t field : {20, 24})
             zip::putLE(b, zip::centralRecord(b, "LISEZMOI.txt") + field, 11);
     }, false},
    {"entry_moved_in_the_directory", Compression::Stored,
     [](std::string &b) { zip::putLE(b, zip::centralRecord(b, "LISEZMOI.txt") + 42, localHeader(b, "outils/lancer.sh")); }, false},
    {"stored_entry_with_sizes_after_its_data", Compression::Stored,
     [](std::string &b) {
         const std::uint32_t header = localHeader(b, "aide/index.html");
         b[header + 6] |= 0x08;
         zip::putLE(b, header + 18, 0), zip::putLE(b, header + 22, 0);
     }, false},
    {"second_local_header_missing", Compression::Stored, [](std::string &b) { b[localHeader(b, "aide/index.html")] = 'X'; }, false},
};

struct Outcome {
    install::InstallResult result;
    zip::Tree folder;
    bool executable = false;
};

// Installs bytes into a fresh application folder, staged as they arrive when early.
Outcome installFresh(const std::string &bytes, bool early)
{
    QTemporaryDir temporary;
    const fs::path app = fs::path(temporary.path().toStdString()) / "app";
    const fs::path package = app / "updates" / "maj.zip";
    fs::create_directories(app / "updates");
    zip::writeFile(app / "kestrel11.exe", "ancienne version");
    zip::writeFile(package, bytes);
    install::ArrivingPackage arriving;
    if (early)
        arriveInBatches(arriving, package, app, bytes);
    BusyCounter observer;
    Outcome outcome{install::installPackage(package, app, observer, early ? &arriving : nullptr), zip::snapshot(app)};
    outcome.executable = (fs::status(app / "outils/lancer.sh").permissions() & fs::perms::owner_exec) != fs::perms::none;
    EXPECT_FALSE(fs::exists(app / "updates" / install::kStagingFolderName));
    return outcome;
}

class EarlyStagingTest : public ::testing::TestWithParam<EarlyCase> {};

TEST_P(EarlyStagingTest, EndsAsTheOrdinaryInstallation)
{
    std::string bytes = zip::buildZip(kFiles, GetParam().compression, GetParam().options);
    GetParam().edit(bytes);
    const Outcome ordinary = installFresh(bytes, false);
    const Outcome early = installFresh(bytes, true);
    EXPECT_EQ(early.result.stagedEarly, GetParam().kept);
    EXPECT_EQ(early.result.outcome, ordinary.result.outcome);
    EXPECT_EQ(early.result.description, ordinary.result.description);
    EXPECT_EQ(early.folder, ordinary.folder);
    EXPECT_EQ(early.executable, ordinary.executable);
    EXPECT_TRUE(!GetParam().kept || early.executable);
}

INSTANTIATE_TEST_SUITE_P(Packages, EarlyStagingTest, ::testing::ValuesIn(kCases), [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace kestrel::test

namespace kestrel::test {
namespace {

// A download cut half-way, whether it stops there or is told complete, leaves nothing staged.
TEST(EarlyStaging, PackageCutHalfWayLeavesNoStaging)
{
    const std::string bytes = zip::buildZip(kFiles, Compression::Stored);
    for (const bool toldComplete : {false, true}) {
        QTemporaryDir temporary;
        const fs::path package = fs::path(temporary.path().toStdString()) / "updates" / "maj.zip";
        const fs::path staging = package.parent_path() / install::kStagingFolderName;
        fs::create_directories(package.parent_path());
        install::ArrivingPackage arriving;
        arriving.start(package, package.parent_path().parent_path(), [&bytes](std::int64_t offset, char *data, std::size_t size) {
            return static_cast<std::int64_t>(bytes.copy(data, size, static_cast<std::size_t>(offset)));
        });
        arriving.written(static_cast<std::int64_t>(bytes.size() / 2));
        ASSERT_TRUE(waitUntil([&] { return fs::exists(staging / "content" / "kestrel11.exe"); }));
        BusyCounter observer;
        if (toldComplete)
            EXPECT_EQ(arriving.take(observer), nullptr);
        else
            arriving.discard();
        EXPECT_FALSE(fs::exists(staging)) << toldComplete;
    }
}

} // namespace
} // namespace kestrel::test
