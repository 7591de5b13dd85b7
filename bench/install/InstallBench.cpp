// Installs zip packages with the wizard's engine and extracts them with `bsdtar -xf`, each in
// a fresh child process, and prints wall times, peak resident memory and their ratios.
//
//   bench_install [work-folder]      (default: a new folder under the system's temporary folder)
//   bench_install --install PACKAGE TARGET   (the child: one installation)

#include "install/PackageInstaller.h"

#include "support/BenchSupport.h"

#include <archive.h>
#include <archive_entry.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

using kestrel::bench::median;

namespace {

struct Quiet final : kestrel::install::InstallObserver {
    void started(std::size_t) override {}
    void topLevelStaged(std::size_t) override {}
    void busy() override {}
};

int runChildInstall(const char *package, const char *target)
{
    Quiet observer;
    const auto result = kestrel::install::installPackage(package, target, observer);
    if (result.outcome != kestrel::install::InstallOutcome::Installed) {
        std::fprintf(stderr, "installation failed: %s\n", result.description.c_str());
        return 1;
    }
    return 0;
}

struct Run {
    double seconds;
    double cpuSeconds;  // user + system: steadier than wall time on a shared machine
    long peakKiB;
};

double seconds(const timeval &time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

Run spawn(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    // Neither side pays for writing back what the previous run left dirty.
    ::sync();
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage {};
    ::wait4(child, &status, 0, &usage);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", arguments.front().c_str());
        std::exit(1);
    }
    return {elapsed, seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss};
}

// Writes a stored zip of `count` top-level files of `size` random bytes each.
void writePackage(const fs::path &file, int count, std::size_t size)
{
    std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(), &archive_write_free);
    archive_write_set_format_zip(writer.get());
    archive_write_set_options(writer.get(), "zip:compression=store");
    archive_write_open_filename(writer.get(), file.c_str());
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(std::min<std::size_t>(size, 1 << 20) / 8 + 1);
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname(entry.get(), ("fichier" + std::to_string(i) + ".bin").c_str());
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
        archive_write_header(writer.get(), entry.get());
        for (std::size_t written = 0; written < size;) {
            for (auto &word : block)
                word = random();
            const std::size_t chunk = std::min(size - written, block.size() * 8);
            archive_write_data(writer.get(), block.data(), chunk);
            written += chunk;
        }
    }
    archive_write_close(writer.get());
}


struct Comparison {
    double wallRatio;  // medians of the per-round ratios against bsdtar followed by sync
    double cpuRatio;
    double plainRatio;  // against bsdtar alone, which leaves its data in the page cache
};

Comparison compare(const std::string &self, const fs::path &package, const fs::path &work, int rounds)
{
    std::vector<double> install, bsdtar, synced, ratios, cpuRatios, plainRatios;
    for (int round = 0; round < rounds; ++round) {
        // Fresh folders, deleted only at the end: a mass deletion just before a run slows it down.
        const fs::path ours = work / ("installe" + std::to_string(round));
        const fs::path theirs = work / ("bsdtar" + std::to_string(round));
        const fs::path durable = work / ("bsdtar-sync" + std::to_string(round));
        for (const fs::path &folder : {ours, theirs, durable})
            fs::create_directory(folder);
        // The installation forces its files to disk; the fair reference does as much.
        const std::vector<std::string> plainCommand = {"/usr/bin/bsdtar", "-xf", package.string(), "-C", theirs.string()};
        const std::vector<std::string> syncCommand = {
            "/bin/sh", "-c", "/usr/bin/bsdtar -xf \"$0\" -C \"$1\" && sync -f \"$1\"", package.string(),
            durable.string()};
        const std::vector<std::string> oursCommand = {self, "--install", package.string(), ours.string()};
        // Rotate the order so that no side always runs on another's page cache state.
        Run a {}, b {}, c {};
        for (int turn = 0; turn < 3; ++turn) {
            switch ((turn + round) % 3) {
            case 0: a = spawn(oursCommand); break;
            case 1: b = spawn(plainCommand); break;
            default: c = spawn(syncCommand); break;
            }
        }
        install.push_back(a.seconds);
        bsdtar.push_back(b.seconds);
        synced.push_back(c.seconds);
        ratios.push_back(a.seconds / c.seconds);
        cpuRatios.push_back(a.cpuSeconds / c.cpuSeconds);
        plainRatios.push_back(a.seconds / b.seconds);
        std::printf("  round %d: install %.3f s (cpu %.3f s), bsdtar+sync %.3f s (cpu %.3f s), bsdtar %.3f s; "
                    "ratio %.2f (cpu %.2f), against bsdtar alone %.2f\n",
                    round + 1, a.seconds, a.cpuSeconds, c.seconds, c.cpuSeconds, b.seconds, ratios.back(),
                    cpuRatios.back(), plainRatios.back());
    }
    for (int round = 0; round < rounds; ++round) {
        for (const char *prefix : {"installe", "bsdtar", "bsdtar-sync"})
            fs::remove_all(work / (prefix + std::to_string(round)));
    }
    std::printf("  median: install %.3f s, bsdtar+sync %.3f s, bsdtar %.3f s; median ratio %.2f wall, %.2f cpu, "
                "%.2f against bsdtar alone\n",
                median(install), median(synced), median(bsdtar), median(ratios), median(cpuRatios),
                median(plainRatios));
    return {median(ratios), median(cpuRatios), median(plainRatios)};
}

long peakOfOneInstall(const std::string &self, const fs::path &package, const fs::path &work)
{
    const fs::path target = work / "installe";
    fs::remove_all(target);
    fs::create_directory(target);
    const Run run = spawn({self, "--install", package.string(), target.string()});
    fs::remove_all(target);
    return run.peakKiB;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--install")
        return runChildInstall(argv[2], argv[3]);
    const std::string self = fs::canonical("/proc/self/exe").string();
    const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / ("bench-install-" + std::to_string(::getpid()));
    fs::create_directories(work / "updates");
    constexpr int kRounds = 5;

    std::printf("Large files: 256 MiB stored package, 4 files of 64 MiB, %d rounds\n", kRounds);
    const fs::path large = work / "updates" / "large.zip";
    writePackage(large, 4, std::size_t{64} << 20);
    const Comparison big = compare(self, large, work, kRounds);
    fs::remove(large);

    std::printf("Peak resident memory of one installation\n");
    const fs::path small = work / "updates" / "64.zip";
    writePackage(small, 1, std::size_t{64} << 20);
    const long peak64 = peakOfOneInstall(self, small, work);
    fs::remove(small);
    writePackage(large, 4, std::size_t{64} << 20);
    const long peak256 = peakOfOneInstall(self, large, work);
    fs::remove(large);
    std::printf("  64 MiB package: %ld KiB, 256 MiB package: %ld KiB, ratio %.2f\n", peak64, peak256,
                static_cast<double>(peak256) / static_cast<double>(peak64));

    std::printf("Many files: 32768 top-level files of 512 bytes, stored, %d rounds\n", kRounds);
    const fs::path many = work / "updates" / "many.zip";
    writePackage(many, 32768, 512);
    const Comparison files = compare(self, many, work, kRounds);
    fs::remove(many);
    fs::remove_all(work);

    std::printf("Summary against bsdtar+sync: large files ratio %.2f wall, %.2f cpu (goal <= 1.2), %.2f against "
                "bsdtar alone; 32768 files ratio %.2f wall, %.2f cpu (goal <= 1.2), %.2f against bsdtar alone; "
                "peak memory 256/64 MiB %.2f (goal: flat)\n",
                big.wallRatio, big.cpuRatio, big.plainRatio, files.wallRatio, files.cpuRatio, files.plainRatio,
                static_cast<double>(peak256) / static_cast<double>(peak64));
    return 0;
}
