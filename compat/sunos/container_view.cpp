// The container view's arithmetic, in 64-bit bytes and nanoseconds.
#include "compat/sunos/container_view.h"

void containerCpuAdvance(ContainerCpuClock* clock, int64_t usageNanos, int64_t nowNanos, double allowance)
{
    if (!clock->started) {
        // The counters start from the group's usage so far; only differences count.
        *clock = ContainerCpuClock{
            true, usageNanos, nowNanos, static_cast<uint64_t>(usageNanos), 0, static_cast<double>(usageNanos)};
        return;
    }
    // A counter that went back (a reading that lost a race with a later one)
    // grew by nothing, and the later reading stays the reference.
    if (usageNanos > clock->lastUsage) {
        clock->busyNanos += static_cast<uint64_t>(usageNanos - clock->lastUsage);
        clock->lastUsage = usageNanos;
    }
    if (nowNanos > clock->lastTime) {
        clock->capacityNanos += allowance > 0.0 ? static_cast<double>(nowNanos - clock->lastTime) * allowance : 0.0;
        clock->lastTime = nowNanos;
    }
    double idle = clock->capacityNanos - static_cast<double>(clock->busyNanos);
    if (idle > static_cast<double>(clock->idleNanos)) {
        clock->idleNanos = static_cast<uint64_t>(idle);
    }
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
