// Start-up benchmark: time from process start to the first paint of the window, for the
// Update program's start-up (bench_startup_wizard) and for a minimal Qt window
// (bench_startup_minimal), built the same way, in alternating rounds of one run.
//
// The clock is CLOCK_MONOTONIC, read here just before posix_spawn and by the child in the
// first paint event of its window (it prints the value and ends at once). Both run with
// QT_QPA_PLATFORM=offscreen. The first rounds of each only warm the file cache.
//
//   bench_startup [--rounds N] [--warmup W]

#include "support/BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

using kestrel::bench::median;

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

struct Startup {
    double mainMs = 0;
    double firstPaintMs = 0;
    double frameDoneMs = 0;
    bool ok = false;
};

// Runs the program to its end with its standard output in outPath; start is the clock just
// before the spawn, also given to the program as its argument when passStart is set.
bool spawnAndWait(const std::string &program, bool passStart, const std::string &outPath, long long &start)
{
    std::string startArg(32, '\0');
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    if (passStart)
        argv.push_back(startArg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Qt's warnings about the off-screen platform are not wanted here.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    start = monotonicNs();
    if (passStart)
        std::snprintf(startArg.data(), startArg.size(), "%lld", start);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Startup runOnce(const std::string &program, const std::string &outPath)
{
    long long start = 0;
    if (!spawnAndWait(program, false, outPath, start))
        return {};
    std::map<std::string, long long> values;
    std::ifstream out(outPath);
    for (std::string line; std::getline(out, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = std::stoll(line.substr(eq + 1));
    }
    if (!values.count("main_ns") || !values.count("first_paint_ns") || !values.count("frame_done_ns"))
        return {};
    return {static_cast<double>(values["main_ns"] - start) / 1e6,
            static_cast<double>(values["first_paint_ns"] - start) / 1e6,
            static_cast<double>(values["frame_done_ns"] - start) / 1e6, true};
}


double quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 40;
    int warmup = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (std::string(argv[i]) == "--warmup")
            warmup = std::atoi(argv[i + 1]);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char outTemplate[] = "/tmp/bench-startup-XXXXXX";
    const int fd = mkstemp(outTemplate);
    if (fd < 0)
        return 1;
    close(fd);
    const std::string outPath = outTemplate;

    for (int i = 0; i < warmup; ++i) {
        runOnce(KESTREL_BENCH_WIZARD, outPath);
        runOnce(KESTREL_BENCH_MINIMAL, outPath);
    }
    std::vector<double> wizMain, minMain, wizPaint, wizFrame, minPaint, minFrame;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which one goes first, so neither always follows the other.
        for (int k = 0; k < 2; ++k) {
            const bool wizard = (round + k) % 2 == 0;
            const Startup s = runOnce(wizard ? KESTREL_BENCH_WIZARD : KESTREL_BENCH_MINIMAL, outPath);
            if (!s.ok) {
                ++failures;
                continue;
            }
            (wizard ? wizMain : minMain).push_back(s.mainMs);
            (wizard ? wizPaint : minPaint).push_back(s.firstPaintMs);
            (wizard ? wizFrame : minFrame).push_back(s.frameDoneMs);
        }
    }
    // Where the wizard's time goes: its start-up steps one by one, a quarter as many rounds.
    std::vector<std::string> labels;
    std::map<std::string, std::vector<double>> steps;
    for (int round = 0; round < std::max(1, rounds / 4); ++round) {
        long long start = 0;
        if (!spawnAndWait(KESTREL_BENCH_PHASES, true, outPath, start))
            continue;
        std::ifstream out(outPath);
        for (std::string line; std::getline(out, line);) {
            const auto cut = line.rfind("  ");
            if (cut == std::string::npos)
                continue;
            std::string label = line.substr(0, cut);
            label.erase(label.find_last_not_of(' ') + 1);
            if (!steps.count(label))
                labels.push_back(label);
            steps[label].push_back(std::atof(line.c_str() + cut));
        }
    }
    unlink(outPath.c_str());
    if (wizPaint.empty() || minPaint.empty()) {
        std::printf("no successful run (%d failures)\n", failures);
        return 1;
    }
    std::printf("%d rounds after %d warm-up rounds, %d failed runs\n", rounds, warmup, failures);
    std::printf("                     median ms  p10 ms  p90 ms   (main() entered: program and libraries loaded)\n");
    std::printf("minimal Qt window    %9.1f  %6.1f  %6.1f\n", median(minMain), quantile(minMain, 0.1),
                quantile(minMain, 0.9));
    std::printf("Update wizard        %9.1f  %6.1f  %6.1f\n", median(wizMain), quantile(wizMain, 0.1),
                quantile(wizMain, 0.9));
    std::printf("                     median ms  p10 ms  p90 ms   (first paint event of the window)\n");
    std::printf("minimal Qt window    %9.1f  %6.1f  %6.1f\n", median(minPaint), quantile(minPaint, 0.1),
                quantile(minPaint, 0.9));
    std::printf("Update wizard        %9.1f  %6.1f  %6.1f\n", median(wizPaint), quantile(wizPaint, 0.1),
                quantile(wizPaint, 0.9));
    std::printf("                     median ms  p10 ms  p90 ms   (end of the event that painted it)\n");
    std::printf("minimal Qt window    %9.1f  %6.1f  %6.1f\n", median(minFrame), quantile(minFrame, 0.1),
                quantile(minFrame, 0.9));
    std::printf("Update wizard        %9.1f  %6.1f  %6.1f\n", median(wizFrame), quantile(wizFrame, 0.1),
                quantile(wizFrame, 0.9));
    const double ratio = median(wizPaint) / median(minPaint);
    std::printf("ratio of medians, first paint: %.2f (goal <= 1.5: %s); whole first frame: %.2f\n", ratio,
                ratio <= 1.5 ? "met" : "NOT met", median(wizFrame) / median(minFrame));
    std::printf("\nthe wizard's start-up step by step (bench_startup_phases, %d runs), median ms since process start:\n",
                std::max(1, rounds / 4));
    for (const std::string &label : labels)
        std::printf("  %-40s %7.1f\n", label.c_str(), median(steps[label]));
    return failures == 0 ? 0 : 1;
}
