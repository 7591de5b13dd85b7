#include "os/SystemProbes.h"
#include "support/process/NamedProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

using namespace kestrel;

using kestrel::test::NamedProcess;
using os::Windows::IsProcessRunning;

namespace {

// Names unique to this test process, so that processes of tests running elsewhere on the
// machine cannot answer in our place; "kestrel11.exe" itself is used where only a match counts.
std::string stem() { return "k" + std::to_string(::getpid()); }
std::string upperStem() { return "K" + std::to_string(::getpid()); }
std::string shortName() { return stem() + ".exe"; }
std::string longName() { return stem() + "-updater-helper.exe"; }

struct NameCase {
    const char *title;
    std::string started;
    std::string asked;
    bool expected;
};

void PrintTo(const NameCase &row, std::ostream *out) { *out << row.title; }

class ProbeByName : public ::testing::TestWithParam<NameCase> {};

TEST_P(ProbeByName, answersForTheWholeNameInAnyLetterCase)
{
    const NameCase &row = GetParam();
    NamedProcess process(row.started);
    EXPECT_EQ(IsProcessRunning(row.asked), row.expected) << "started " << row.started << ", asked " << row.asked;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ProbeByName,
    ::testing::Values(
        NameCase {"applicationInCapitals", "KESTREL11.EXE", "kestrel11.exe", true},
        NameCase {"askedInMixedCase", shortName(), upperStem() + ".ExE", true},
        NameCase {"longerThanKernelName", longName(), upperStem() + "-UPDATER-HELPER.EXE", true},
        NameCase {"kernelNamePrefixOfLongerName", longName(), longName().substr(0, 15), false},
        NameCase {"longerNameBeginsWithIt", shortName() + ".old", shortName(), false},
        NameCase {"longerNameEndsWithIt", "my-" + shortName(), shortName(), false},
        NameCase {"shorterThanTheProcessName", shortName(), stem(), false},
        NameCase {"folderInWindowsNotation", shortName(), "C:\\Apps\\" + shortName(), false},
        NameCase {"emptyName", shortName(), "", false}),
    [](const ::testing::TestParamInfo<NameCase> &info) { return std::string(info.param.title); });

// Each call sees its moment; two instances count until both have ended; a full path never
// matches; an ended process not yet collected, listed as a zombie, runs no more.
TEST(ProcessProbe, answersTrueWhileAnyInstanceRuns)
{
    EXPECT_FALSE(IsProcessRunning(shortName()));
    NamedProcess first(shortName());
    NamedProcess second(upperStem() + ".EXE");
    EXPECT_TRUE(IsProcessRunning(shortName()));
    EXPECT_FALSE(IsProcessRunning(first.executable().string()));
    first.stop();
    EXPECT_TRUE(IsProcessRunning(shortName()));
    ASSERT_EQ(::kill(second.pid(), SIGKILL), 0);
    siginfo_t info {};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(second.pid()), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(IsProcessRunning(shortName()));
}

// Started through a link whose file is then deleted: the kernel keeps the link's name, cut
// to 15 characters, and the file's name with " (deleted)".
TEST(ProcessProbe, nameOfTheFileAndNameStartedUnderBothCountInFull)
{
    const std::string linkName = stem() + "-started-as-link.exe";
    NamedProcess process(longName(), std::chrono::seconds(300), linkName);
    std::filesystem::remove(process.executable());
    EXPECT_TRUE(IsProcessRunning(longName()));
    EXPECT_FALSE(IsProcessRunning(longName() + " (deleted)"));
    EXPECT_TRUE(IsProcessRunning(upperStem() + "-STARTED-AS-LINK.EXE"));
    EXPECT_FALSE(IsProcessRunning(linkName.substr(0, 15)));
}

} // namespace
