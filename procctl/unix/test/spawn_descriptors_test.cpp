// A spawn from a server with many descriptors open, and with none left.
#include "procctl/process_error.h"
#include "procctl/unix/test/spawn_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Opens descriptors until `highest` is in use (the limit raised to fit).
bool openUpTo(int highest)
{
    struct rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(highest)) {
        return false;
    }
    limit.rlim_cur = static_cast<rlim_t>(highest) + 64;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    int fd = open("/dev/null", O_RDONLY);
    while (fd >= 0 && fd < highest) {
        fd = dup(fd);
    }
    return fd == highest;
}

TEST(Descriptors, SpawnWorksWithThousandsOfDescriptorsOpen)
{
    for (int highest : {1100, 5000}) {
        std::string status = inChild([highest] {
            if (!openUpTo(highest)) {
                return 90;
            }
            int sysErr = 0;
            int code = -1;
            int result = runShell("exit 7", nullptr, nullptr, &sysErr, &code);
            return result == PROC_SUCCESS && code == 7 ? 0 : 10 + result;
        });
        EXPECT_EQ(status, "exit 0") << highest << " descriptors (90: the limit could not be raised)";
    }
}

// With a few descriptors left (each spawn needs some: pipes, the pidfd its
// clone makes), a spawn either works or runs out of file handles.
TEST(Descriptors, TooFewDescriptorsLeftIsOutOfFileHandles)
{
    for (int detached = 0; detached < 2; detached++) {
        for (int left = 0; left <= 5; left++) {
            std::string status = inChild([detached, left] {
                struct rlimit limit {};
                getrlimit(RLIMIT_NOFILE, &limit);
                limit.rlim_cur = limit.rlim_cur > 256 ? 256 : limit.rlim_cur;
                setrlimit(RLIMIT_NOFILE, &limit);
                int fd = open("/dev/null", O_RDONLY);
                int last = fd;
                while (fd >= 0) {
                    last = fd;
                    fd = dup(fd);
                }
                for (int i = 0; i < left; i++) {
                    close(last - i);
                }
                TestRecord rec;
                char* args[] = {const_cast<char*>("-c"), const_cast<char*>("exit 0"), nullptr};
                int sysErr = 0;
                int result = (detached != 0 ? unix_CreateDetachedProcess : unix_CreateProcess)(
                    "/bin/sh", args, nullptr, nullptr, 20, nullptr, 022, nullptr, nullptr, 0, rec.r, &sysErr);
                return result == PROC_SUCCESS || (result == PROC_OUT_OF_FILE_HANDLES && sysErr == EMFILE) ? 0
                                                                                                          : 10 + result;
            });
            EXPECT_EQ(status, "exit 0") << "detached " << detached << ", " << left
                                        << " left (exit 10 + the result code otherwise)";
        }
    }
}

} // namespace
