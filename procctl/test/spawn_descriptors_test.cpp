// A spawn from a server with many descriptors open, and with none left.
#include "procctl/process_error.h"
#include "procctl/test/spawn_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>

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

TEST(Descriptors, NoDescriptorLeftIsOutOfFileHandles)
{
    std::string status = inChild([] {
        int fd = open("/dev/null", O_RDONLY);
        int last = fd;
        while (fd >= 0) {
            last = fd;
            fd = dup(fd);
        }
        struct rlimit limit {};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(last) + 1;
        setrlimit(RLIMIT_NOFILE, &limit);
        int sysErr = 0;
        int result = runShell("exit 0", nullptr, nullptr, &sysErr);
        return result == PROC_OUT_OF_FILE_HANDLES && sysErr == EMFILE ? 0 : 10 + result;
    });
    EXPECT_EQ(status, "exit 0") << "exit 10 + the result code otherwise";
}

} // namespace
