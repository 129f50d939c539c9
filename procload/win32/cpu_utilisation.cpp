// Utilisation figures from process times. Each process's interval ends at the
// moment its own times are read, not at the start of the batch.
#include "procload/win32/cpu_utilisation.h"
#include "procload/procload_log.h"
#include "procload/slot_table.h"
#include "procload/win32/process_times.h"

namespace {

// A previous sample: system time, kernel time and user time; all 0 for none.
struct Sample {
    uint64_t time;
    uint64_t kernel;
    uint64_t user;
};

Sample ownSample;

enum class Outcome { Figure, NoTime, Negative };

enum class Since { Creation, LastCall };

struct Interval {
    Outcome outcome;
    double percent;
};

// The figure since sample last, or since the process's creation when there is
// none.
Interval sinceSample(const ProcessTimes& times, uint64_t now, const Sample& last, int32_t processors)
{
    const bool first = last.time == 0;
    const uint64_t start = first ? times.creation : last.time;
    const auto kernel = static_cast<int64_t>(first ? times.kernel : times.kernel - last.kernel);
    const auto user = static_cast<int64_t>(first ? times.user : times.user - last.user);
    const auto elapsed = static_cast<int64_t>(now - start);
    if (elapsed <= 0) {
        return {Outcome::NoTime, 0.0};
    }
    if (kernel < 0 || user < 0) {
        return {Outcome::Negative, 0.0};
    }
    return {Outcome::Figure, machinePercent(static_cast<uint64_t>(kernel + user), elapsed, processors)};
}

bool seenEarlier(const int32_t* ids, int32_t i)
{
    for (int32_t k = 0; k < i; k++) {
        if (ids[k] == ids[i]) {
            return true;
        }
    }
    return false;
}

double sinceCreation(const char* label, int32_t processId, int32_t processors)
{
    ProcessTimes times{};
    uint64_t now = 0;
    if (!readProcessTimes(processId, &times, &now)) {
        PROCLOAD_DEBUG("%s %s %s\n", label, "DEBUG - ERROR - processHandle is NULL");
        return 0.0;
    }
    return machinePercent(times.kernel + times.user, static_cast<int64_t>(now - times.creation), processors);
}

// One process of a since-last-call batch.
double sinceLastCall(const char* label, int32_t processId, int32_t processors)
{
    ProcessTimes times{};
    uint64_t now = 0;
    if (!readProcessTimes(processId, &times, &now)) {
        // Nothing to remember: the id takes no slot.
        PROCLOAD_DEBUG("%s %s %s\n", label, "DEBUG - ERROR - processHandle is NULL");
        return 0.0;
    }
    LastProcessSlot* slot = &lastProcessInfo[lastProcessInfo_GetIndex(processId)];
    if (slot->id != processId) {
        return 0.0; // every slot is held by a live process; slot 0 is another's
    }
    Sample last{slot->lastTime, slot->lastKernelTime, slot->lastUserTime};
    if (slot->creationTime != times.creation) {
        last = Sample{}; // the id names another process now
    }
    Interval interval = sinceSample(times, now, last, processors);
    slot->lastTime = now;
    slot->lastKernelTime = times.kernel;
    slot->lastUserTime = times.user;
    slot->creationTime = times.creation;
    switch (interval.outcome) {
    case Outcome::NoTime:
        PROCLOAD_DEBUG("%s %s %s\n", label, "CONTINUE - divide by zero");
        break;
    case Outcome::Negative:
        PROCLOAD_DEBUG("%s %s %s\n", label, "CONTINUE - cpu util < 0");
        break;
    case Outcome::Figure:
        PROCLOAD_DEBUG("%s %s %s %u %lf%%\n", label, "EXIT - PID/procLoad=", static_cast<unsigned>(processId),
                       interval.percent);
        break;
    }
    return interval.percent;
}

// The library's own figure, since its creation or since the previous
// since-last-call figure; 0.0 before initStats.
double ownLoad(const char* label, Since since)
{
    ProcloadStateGuard guard(procloadStateLock);
    const int32_t processors = getNumProcessors();
    ProcessTimes times{};
    uint64_t now = 0;
    if (!readOwnProcessTimes(&times, &now)) {
        PROCLOAD_DEBUG("%s %s %s\n", label, "DEBUG - ERROR - processHandle is NULL");
        return 0.0;
    }
    if (since == Since::Creation) {
        double percent =
            machinePercent(times.kernel + times.user, static_cast<int64_t>(now - times.creation), processors);
        PROCLOAD_DEBUG("%s %s %s %lf%%\n", label, "EXIT - retVal=", percent);
        return percent;
    }
    Interval interval = sinceSample(times, now, ownSample, processors);
    ownSample = Sample{now, times.kernel, times.user};
    switch (interval.outcome) {
    case Outcome::NoTime:
        PROCLOAD_DEBUG("%s %s %s\n", label, "EXIT - divide by zero or neg");
        break;
    case Outcome::Negative:
        PROCLOAD_DEBUG("%s %s %s\n", label, "EXIT - cpu util < 0");
        break;
    case Outcome::Figure:
        PROCLOAD_DEBUG("%s %s %s %lf%%\n", label, "EXIT - retVal=", interval.percent);
        break;
    }
    return interval.percent;
}

} // namespace

double machinePercent(uint64_t cpu, int64_t elapsed, int32_t processors)
{
    if (elapsed <= 0 || processors <= 0) {
        return 0.0;
    }
    // The system charges CPU time a clock tick at a time: over an interval
    // of a few ticks or less (two callers one after the other) a process can
    // seem to have used many times the machine. As on Linux, 100 at most.
    const double percent = static_cast<double>(cpu) / static_cast<double>(elapsed) * 100.0 / processors;
    return percent > 100.0 ? 100.0 : percent;
}

void getProcLoad(int32_t size, const int32_t* processIDs, double* procLoad)
{
    static const char* const label = "getProcLoad";
    ProcloadStateGuard guard(procloadStateLock);
    PROCLOAD_DEBUG("%s %s %s\n", label, "ENTER");
    PROCLOAD_DEBUG("%s %s %s %s\n", label, "processTimes==NULL?", "true");
    const int32_t processors = getNumProcessors();
    for (int32_t i = 0; i < size; i++) {
        procLoad[i] = sinceCreation(label, processIDs[i], processors);
    }
    PROCLOAD_DEBUG("%s %s %s \n", label, "EXIT");
}

void getProcLoadLast(int32_t size, const int32_t* processIDs, double* procLoad)
{
    static const char* const label = "getProcLoadLast";
    // The whole batch under the lock, so that no other caller's sample of the
    // same process falls between two of its occurrences.
    ProcloadStateGuard guard(procloadStateLock);
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER - size=", size);
    const int32_t processors = getNumProcessors();
    for (int32_t i = 0; i < size; i++) {
        // Ids 0 and below name no process (0 would match a free slot).
        const bool sampled = processIDs[i] > 0 && !seenEarlier(processIDs, i);
        procLoad[i] = sampled ? sinceLastCall(label, processIDs[i], processors) : 0.0;
    }
    PROCLOAD_DEBUG("%s %s %s \n", label, "EXIT");
}

void clearOwnSample()
{
    ProcloadStateGuard guard(procloadStateLock);
    ownSample = Sample{};
}

double ownLoadSinceCreation(const char* label)
{
    return ownLoad(label, Since::Creation);
}

double ownLoadSinceLastCall(const char* label)
{
    return ownLoad(label, Since::LastCall);
}
