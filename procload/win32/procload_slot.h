// The Windows slot record: what the meter remembers about one process between
// since-last-call samples. The system keeps each process's kernel and user
// time, so no thread snapshot is needed. The shared search over the table is
// in slot_table.h.
#pragma once

#include <cstdint>

constexpr int PROCESS_ID_MAX_SIZE = 512;
// A process that finds every slot held by a live process is reported whatever
// the debug level.
constexpr bool FULL_TABLE_ALWAYS_REPORTED = true;

// Times are file times: 100-nanosecond units.
struct LastProcessSlot {
    int32_t id;              // owning process; 0 free
    uint64_t lastTime;       // system time of the last since-last-call sample; 0 none yet
    uint64_t lastKernelTime; // the process's kernel time at that sample
    uint64_t lastUserTime;   // and its user time
    // Printed by debug_DumpPrivate only; nothing sets them on Windows.
    double fullCreateTime;
    double fullLastTime;
    double fullCreateUsage;
    double fullLastUsage;
    // Creation time of the process the slot sampled last: another one means
    // the id now names another process, whose sample starts afresh.
    uint64_t creationTime;
};
