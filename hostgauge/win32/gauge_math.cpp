// The arithmetic of the Windows host gauge, apart from the system calls that
// feed it.
#include "hostgauge/win32/hostgauge.h"

#include <climits>

int intervalPercent(int64_t kernelDelta, int64_t userDelta, int64_t elapsed, uint32_t processors)
{
    if (elapsed <= 0 || kernelDelta < 0 || userDelta < 0 || processors == 0) {
        return 0;
    }
    double percent = static_cast<double>(kernelDelta + userDelta) / static_cast<double>(elapsed) * 100.0 / processors;
    // Not capped at 100 (granularity may put more CPU into an interval than
    // it had), but kept inside an int.
    return percent < static_cast<double>(INT_MAX) ? static_cast<int>(percent) : INT_MAX;
}

int32_t availableKb(uint64_t bytes)
{
    uint64_t kb = bytes >> 10;
    return kb < static_cast<uint64_t>(INT32_MAX) ? static_cast<int32_t>(kb) : INT32_MAX;
}

uint32_t wholePercent(double value)
{
    if (!(value > 0.0)) {
        return 0; // not a number, zero or below
    }
    return value < 100.0 ? static_cast<uint32_t>(value) : 100;
}
