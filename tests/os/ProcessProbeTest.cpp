#include "os/SystemProbes.h"
#include "support/process/NamedProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using kestrel::os::Windows::IsProcessRunning;
using kestrel::test::NamedProcess;

namespace {

// Names of this test process's own, so that other tests' processes cannot answer; "kestrel11.exe" where only a match counts.
const std::string kStem = "k" + std::to_string(::getpid()), kUpperStem = "K" + std::to_string(::getpid());
const std::string kShort = kStem + ".exe", kLong = kStem + "-updater-helper.exe";

// Asked for the whole name in any letter case; a part of the name is no match.
TEST(ProcessProbe, answersForTheWholeNameInAnyLetterCase)
{
    const struct { std::string started, asked; bool expected; } rows[] = {
        {"KESTREL11.EXE", "kestrel11.exe", true}, {kLong, kUpperStem + "-UPDATER-HELPER.EXE", true}, // longer than the kernel's name
        {kLong, kLong.substr(0, 15), false}, {kShort + ".old", kShort, false}, {"my-" + kShort, kShort, false},
        {kShort, kStem, false}, {kShort, "", false}};
    for (const auto &row : rows) {
        NamedProcess process(row.started);
        EXPECT_EQ(IsProcessRunning(row.asked), row.expected) << "started " << row.started << ", asked " << row.asked;
    }
}

// Each call sees its moment: two instances count until both have ended (an uncollected zombie has); a full path never matches.
TEST(ProcessProbe, answersTrueWhileAnyInstanceRuns)
{
    EXPECT_FALSE(IsProcessRunning(kShort));
    NamedProcess first(kShort), second(kUpperStem + ".EXE");
    EXPECT_TRUE(IsProcessRunning(kShort));
    EXPECT_FALSE(IsProcessRunning(first.executable().string()));
    first.stop();
    EXPECT_TRUE(IsProcessRunning(kShort));
    ASSERT_EQ(::kill(second.pid(), SIGKILL), 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(second.pid()), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(IsProcessRunning(kShort));
}

// Started through a link to a file then deleted: the kernel keeps the link's name cut to 15 characters, and the file's with " (deleted)".
TEST(ProcessProbe, nameOfTheFileAndNameStartedUnderBothCountInFull)
{
    const std::string linkName = kStem + "-started-as-link.exe";
    NamedProcess process(kLong, linkName);
    std::filesystem::remove(process.executable());
    EXPECT_TRUE(IsProcessRunning(kLong));
    EXPECT_FALSE(IsProcessRunning(kLong + " (deleted)"));
    EXPECT_TRUE(IsProcessRunning(kUpperStem + "-STARTED-AS-LINK.EXE"));
    EXPECT_FALSE(IsProcessRunning(linkName.substr(0, 15)));
}

} // namespace
