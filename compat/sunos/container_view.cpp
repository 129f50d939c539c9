// The container view's arithmetic, in 64-bit bytes and nanoseconds.
#include "compat/sunos/container_view.h"

void containerCpuAdvance(ContainerCpuClock* clock, int64_t usageNanos, int64_t nowNanos, double allowance)
{
    if (!clock->started) {
        // The counters start from the group's usage so far; only differences count.
        *clock = ContainerCpuClock{true, usageNanos, nowNanos, static_cast<uint64_t>(usageNanos), 0};
        return;
    }
    // A counter that went back (another group after a move) grew by nothing.
    uint64_t used = usageNanos > clock->lastUsage ? static_cast<uint64_t>(usageNanos - clock->lastUsage) : 0;
    double elapsed = nowNanos > clock->lastTime ? static_cast<double>(nowNanos - clock->lastTime) : 0.0;
    double capacity = allowance > 0.0 ? elapsed * allowance : 0.0;
    clock->busyNanos += used;
    if (capacity > static_cast<double>(used)) {
        clock->idleNanos += static_cast<uint64_t>(capacity - static_cast<double>(used));
    }
    clock->lastUsage = usageNanos;
    clock->lastTime = nowNanos;
}

void containerMemory(const CgroupFigures& figures, uint64_t* totalKb, uint64_t* freeKb)
{
    if (figures.memoryLimit < 0) {
        return;
    }
    auto limit = static_cast<uint64_t>(figures.memoryLimit);
    if (limit / 1024 < *totalKb) {
        *totalKb = limit / 1024;
    }
    int64_t used = figures.memoryWorkingSet >= 0 ? figures.memoryWorkingSet : figures.memoryUsage;
    uint64_t left = used < 0 ? limit : (static_cast<uint64_t>(used) < limit ? limit - static_cast<uint64_t>(used) : 0);
    if (left / 1024 < *freeKb) {
        *freeKb = left / 1024;
    }
}
