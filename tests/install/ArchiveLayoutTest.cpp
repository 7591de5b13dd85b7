// Packages whose zip structure lies about itself (overlapping, misplaced, impossible or encrypted
// entries): refused before anything in or around the application folder changes. A zip64
// package installs like any other.

#include "InstallFixture.h"

#include <functional>

namespace fs = std::filesystem;

namespace kestrel::test {
namespace {

using zip::Entry;

// Central directory record fields, and the local header's stored size.
constexpr std::size_t kStoredSizeField = 20;
constexpr std::size_t kOriginalSizeField = 24;
constexpr std::size_t kLocalOffsetField = 42;
constexpr std::size_t kLocalStoredSizeField = 18;

void put32(std::string &bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.at(at + static_cast<std::size_t>(i)) = static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint32_t get32(const std::string &bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
    return value;
}

const std::vector<Entry> kTwoFiles{{"kestrel11.exe", "nouvelle version"}, {"lisez-moi.txt", "notes"}};

struct LayoutCase {
    const char *name;
    std::function<std::string()> package;
    const char *reason;  // part of the description
};

void PrintTo(const LayoutCase &row, std::ostream *out)
{
    *out << row.name;
}

const LayoutCase kLayoutCases[] = {
    {"two_entries_sharing_one_data_range",
     [] {
         std::string bytes = zip::buildZip(kTwoFiles, zip::Compression::Stored);
         const std::size_t first = zip::centralRecord(bytes, "kestrel11.exe");
         put32(bytes, zip::centralRecord(bytes, "lisez-moi.txt") + kLocalOffsetField,
               get32(bytes, first + kLocalOffsetField));
         return bytes;
     },
     "les données des éléments « kestrel11.exe » et « lisez-moi.txt » se chevauchent"},
    {"entry_data_running_into_the_directory",
     [] {
         std::string bytes = zip::buildZip(kTwoFiles, zip::Compression::Stored);
         const std::size_t record = zip::centralRecord(bytes, "lisez-moi.txt");
         // Past its data descriptor and well into the directory's first record.
         put32(bytes, record + kStoredSizeField, get32(bytes, record + kStoredSizeField) + 64);
         return bytes;
     },
     "les données de l'élément « lisez-moi.txt » empiètent sur le répertoire de l'archive"},
    {"local_header_claiming_the_next_entry",
     [] {
         // The directory keeps its honest size; the reader believes the local header.
         std::string bytes = zip::buildZip(kTwoFiles, zip::Compression::Stored);
         const std::size_t local = get32(bytes, zip::centralRecord(bytes, "kestrel11.exe") + kLocalOffsetField);
         put32(bytes, local + kLocalStoredSizeField, get32(bytes, local + kLocalStoredSizeField) + 40);
         return bytes;
     },
     "les données des éléments « kestrel11.exe » et « lisez-moi.txt » se chevauchent"},
    {"deflated_entry_claiming_more_than_deflate_can_give",
     [] {
         std::string bytes = zip::buildZip(kTwoFiles, zip::Compression::Deflated);
         put32(bytes, zip::centralRecord(bytes, "kestrel11.exe") + kOriginalSizeField, 10'000'000);
         return bytes;
     },
     "l'élément « kestrel11.exe » annonce plus de données que sa taille compressée ne peut en contenir"},
    {"encrypted_entry",
     [] { return zip::buildZip(kTwoFiles, zip::Compression::Deflated, "zip:encryption=zipcrypt"); },
     "contient des éléments chiffrés (dont « kestrel11.exe ») : l'assistant de mise à jour ne peut pas les "
     "installer"},
};

class ArchiveLayoutTest : public InstallFixture, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(ArchiveLayoutTest, IsRefusedBeforeAnythingChanges)
{
    zip::writeFile(m_package, GetParam().package());
    const zip::Tree before = zip::snapshot(m_parent);

    EXPECT_FALSE(install());

    expectOneFailureBox(GetParam().reason);
    EXPECT_EQ(zip::snapshot(m_parent), before);
    EXPECT_TRUE(m_host.bar.values.empty());
}

INSTANTIATE_TEST_SUITE_P(Packages, ArchiveLayoutTest, ::testing::ValuesIn(kLayoutCases),
                         [](const auto &info) { return std::string(info.param.name); });

using Zip64PackageTest = InstallFixture;

TEST_F(Zip64PackageTest, SeventyThousandTopLevelFilesInstallCompletely)
{
    constexpr int kCount = 70000;
    std::vector<Entry> entries;
    for (int i = 0; i < kCount; ++i)
        entries.push_back({"f" + std::to_string(i) + ".txt", std::to_string(i)});
    const std::string bytes = zip::buildZip(entries, zip::Compression::Stored, "zip:zip64");
    ASSERT_NE(bytes.find(std::string("PK\x06\x06", 4)), std::string::npos) << "no zip64 end record";
    zip::writeFile(m_package, bytes);

    EXPECT_TRUE(install());

    EXPECT_TRUE(m_host.boxes.shown.empty());
    ASSERT_EQ(m_host.bar.values.size(), static_cast<std::size_t>(kCount) + 1);
    for (int i = 0; i <= kCount; ++i)
        ASSERT_EQ(m_host.bar.values[static_cast<std::size_t>(i)], static_cast<float>(i));
    for (int i : {0, 32767, 32768, 65535, 65536, kCount - 1})
        EXPECT_EQ(fileText(m_app / ("f" + std::to_string(i) + ".txt")), std::to_string(i));
    std::size_t installed = 0;
    for (const auto &item : fs::directory_iterator(m_app))
        installed += item.path().extension() == ".txt" ? 1 : 0;
    EXPECT_EQ(installed, static_cast<std::size_t>(kCount));
}

} // namespace
} // namespace kestrel::test
