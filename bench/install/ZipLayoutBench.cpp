// Times the installer's layout check of a zip (end records, central directory, local headers)
// against libarchive listing every header of the same package, in the same process and run.
//
//   bench_zip_layout [--rounds N]      (a 70,000-entry zip64 package under the temporary folder)

#include "install/ZipLayout.h"

#include "support/BenchSupport.h"

#include <QCoreApplication>

#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kEntries = 70000;

bool writePackage(const fs::path &file)
{
    std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), &archive_write_free);
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
    if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK
        || archive_write_set_options(writer.get(), "zip:compression=store,zip:zip64") != ARCHIVE_OK
        || archive_write_open_filename(writer.get(), file.c_str()) != ARCHIVE_OK)
        return false;
    const std::string data(512, 'k');
    for (int i = 0; i < kEntries; ++i) {
        archive_entry_clear(entry.get());
        archive_entry_set_pathname(entry.get(), ("f" + std::to_string(i) + ".txt").c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK
            || archive_write_data(writer.get(), data.data(), data.size()) != static_cast<la_ssize_t>(data.size()))
            return false;
    }
    return archive_write_close(writer.get()) == ARCHIVE_OK;
}

// The reference: the seekable reader the installer itself uses, every header, no data.
bool listHeaders(const fs::path &file)
{
    std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(), &archive_read_free);
    if (archive_read_support_format_zip_seekable(reader.get()) != ARCHIVE_OK
        || archive_read_open_filename(reader.get(), file.c_str(), 64 * 1024) != ARCHIVE_OK)
        return false;
    archive_entry *entry = nullptr;
    int count = 0;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK)
        ++count;
    return count == kEntries;
}

template <typename Work> double timed(Work work, bool &ok)
{
    const auto start = std::chrono::steady_clock::now();
    ok = work() && ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int rounds = kestrel::bench::parseRoundsAndSize(application.arguments()).rounds;
    const fs::path folder = fs::temp_directory_path() / ("bench-zip-layout-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path package = folder / "package.zip";
    if (!writePackage(package)) {
        std::fprintf(stderr, "cannot write %s\n", package.c_str());
        return 1;
    }
    std::vector<double> ours, reference, ratios;
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which side goes first, so neither always finds the cache warmed by the other.
        const auto check = [&] {
            return timed([&] {
                kestrel::install::ZipListing listing;
                return !kestrel::install::checkZipLayout(package, listing);
            }, ok);
        };
        const auto list = [&] { return timed([&] { return listHeaders(package); }, ok); };
        double a = 0, b = 0;
        if (round % 2 == 0) {
            a = check();
            b = list();
        } else {
            b = list();
            a = check();
        }
        ours.push_back(a);
        reference.push_back(b);
        ratios.push_back(a / b);
    }
    const auto size = static_cast<long long>(fs::file_size(package));
    fs::remove_all(folder);
    if (!ok) {
        std::fprintf(stderr, "a side failed\n");
        return 1;
    }
    std::printf("%d entries, zip64, %lld bytes, %d rounds\n", kEntries, size, rounds);
    std::printf("layout check %.4f s, libarchive header listing %.4f s, ratio %.3f (median of per-round ratios)\n",
                kestrel::bench::median(ours), kestrel::bench::median(reference), kestrel::bench::median(ratios));
    return 0;
}
