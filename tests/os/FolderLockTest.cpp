#include "os/FolderLock.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::os {
namespace {

using Result = os::FolderLock::Result;

// Another process takes the lock, tells us through a pipe, then waits to be killed; then ours takes it, and a missing folder is told.
TEST(FolderLockTest, HeldByAnotherProcessUntilThatProcessIsKilled)
{
    QTemporaryDir folder;
    const std::filesystem::path path = folder.path().toStdString();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        os::FolderLock lock;
        const char answer = lock.acquire(path) == Result::Acquired ? 'y' : 'n';
        [[maybe_unused]] const auto written = ::write(ready[1], &answer, 1);
        for (;;)
            ::pause();
    }
    char answer = 'n';
    ASSERT_TRUE(holder > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y');
    os::FolderLock lock;

    EXPECT_EQ(lock.acquire(path), Result::HeldElsewhere);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(lock.acquire(path), Result::Acquired);
    EXPECT_EQ(lock.acquire(path / "absent"), Result::NoFolder);
}

} // namespace
} // namespace kestrel::os
