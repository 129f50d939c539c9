// The container view's arithmetic: the busy share its counters give over an
// interval, and memory within the limit.
#include "compat/sunos/container_view.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t SECOND = 1000000000;

TEST(ContainerView, BusyShareIsUsageOverElapsedTimesAllowanceAtMostAll)
{
    struct Case {
        const char* name;
        int64_t used; // usage growth over one second
        double allowance;
        double share;
        int64_t burst; // the growth all within this much of the second (0: spread), sampled at its end
    };
    const Case cases[] = {
        {"all of half a processor", SECOND / 2, 0.5, 1.0, 0},
        {"a quarter of two processors", SECOND / 2, 2.0, 0.25, 0},
        {"a burst past the quota", SECOND, 0.5, 1.0, 0},
        {"a counter that went back", -SECOND, 1.0, 0.0, 0},
        {"all of the quota spent in a burst, then throttled", SECOND / 2, 0.5, 1.0, SECOND / 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ContainerCpuClock clock{};
        containerCpuAdvance(&clock, 5 * SECOND, 100 * SECOND, c.allowance);
        uint64_t busy = clock.busyNanos;
        uint64_t idle = clock.idleNanos;
        if (c.burst > 0) {
            containerCpuAdvance(&clock, 5 * SECOND + c.used, 100 * SECOND + c.burst, c.allowance);
        }
        containerCpuAdvance(&clock, 5 * SECOND + c.used, 101 * SECOND, c.allowance);
        double grewBusy = static_cast<double>(clock.busyNanos - busy);
        double grewIdle = static_cast<double>(clock.idleNanos - idle);
        EXPECT_NEAR(grewBusy / (grewBusy + grewIdle), c.share, 1e-9);
    }
}

TEST(ContainerView, MemoryIsWithinTheLimitAndTheMachinesFreeMemory)
{
    struct Case {
        const char* name;
        int64_t limit, usage, workingSet;
        uint64_t totalKb, freeKb; // expected, of a machine with 1000000 kB, 600000 kB free
    };
    const Case cases[] = {
        {"no limit", -1, 4096, 4096, 1000000, 600000},
        {"the limit less the working set", 512 << 20, 200 << 20, 100 << 20, 524288, 421888},
        {"a limit above the machine's free memory", int64_t{2} << 30, 1 << 20, 1 << 20, 1000000, 600000},
        {"a working set over the limit", 64 << 20, 80 << 20, 70 << 20, 65536, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CgroupFigures figures{-1, -1, -1, c.limit, c.usage, c.workingSet, -1};
        uint64_t totalKb = 1000000;
        uint64_t freeKb = 600000;
        containerMemory(figures, &totalKb, &freeKb);
        EXPECT_EQ(totalKb, c.totalKb);
        EXPECT_EQ(freeKb, c.freeKb);
    }
}

} // namespace
