// Children reaped after their record was released.
#include "procctl/unix/unix_process.h"
#include "procctl/unix/unix_spawn_plan.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Without pidfds, a released child that somebody else reaped is known by
// its pid and start time only: a newcomer that took the pid, even a child
// of ours, is not reaped in its place.
TEST(ReapLater, ANewcomerWithAReleasedChildsPidIsLeftAlone)
{
    pid_t newcomer = fork();
    if (newcomer == 0) {
        _exit(3);
    }
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(newcomer), &info, WEXITED | WNOWAIT), 0);
    unsigned long long startTime = 0;
    ASSERT_TRUE(unix_ReadStartTime(newcomer, &startTime));
    unix_kernelFeatureOverride = UNIX_KERNEL_NO_PIDFD;
    unix_ReapLater(newcomer, -1, startTime + 1);
    unix_ReapAbandonedChildren();
    unix_kernelFeatureOverride = UNIX_KERNEL_AS_IS;
    int status = 0;
    EXPECT_EQ(waitpid(newcomer, &status, WNOHANG), newcomer) << "reaped in the released child's place";
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

} // namespace
