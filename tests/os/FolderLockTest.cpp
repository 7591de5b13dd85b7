#include "os/FolderLock.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::os {
namespace {

using Result = os::FolderLock::Result;

// Another process takes the lock, tells us through a pipe, then waits to be killed.
pid_t holdInChild(const std::filesystem::path &folder)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        os::FolderLock lock;
        const char answer = lock.acquire(folder) == Result::Acquired ? 'y' : 'n';
        [[maybe_unused]] const auto written = ::write(ready[1], &answer, 1);
        for (;;)
            ::pause();
    }
    char answer = 'n';
    const bool told = child > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
    ::close(ready[0]);
    ::close(ready[1]);
    return told ? child : -1;
}

TEST(FolderLockTest, HeldByAnotherProcessUntilThatProcessIsKilled)
{
    QTemporaryDir folder;
    const std::filesystem::path path = folder.path().toStdString();
    const pid_t holder = holdInChild(path);
    ASSERT_GT(holder, 0);
    os::FolderLock lock;

    EXPECT_EQ(lock.acquire(path), Result::HeldElsewhere);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(lock.acquire(path), Result::Acquired);
    EXPECT_EQ(lock.acquire(path / "absent"), Result::NoFolder);
}

} // namespace
} // namespace kestrel::os
