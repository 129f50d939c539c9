// The Linux slot record: what the meter remembers about one process between
// samples. The shared search over the table is in slot_table.h.
#pragma once

#include "procload/linux/proc_stat.h"

#include <cstdint>
#include <sys/time.h>

constexpr int PROCESS_ID_MAX_SIZE = 1024;
// "ERROR - PROCESS_ID_MAX_SIZE too small" is a debug line on Linux.
constexpr bool FULL_TABLE_ALWAYS_REPORTED = false;
// Threads or processes remembered per process for the flat layout.
constexpr int THREAD_SNAPSHOT_SIZE = 1024;

struct LastProcessSlot {
    // The four parts, each its own heap block, obtained when the slot is
    // first initialised and reused when it is initialised again.
    uint64_t* oldTime;   // running CPU total at the last since-last-call sample, in nanoseconds
    timeval* lastTime;   // when that total was read; zero after initialisation
    timeval* createTime; // start of measurement
    ProcStatRecord* myProc;
    // The snapshot of the flat layout. It points at storage kept apart from
    // the table, so that searching the table touches only these small records
    // and a process in the task layout never touches its snapshot at all.
    ProcStatRecord* lastProcesses;
    int32_t lastProcessIndex;
    int32_t id; // owning process; 0 free
    double fullCreateTime;
    double fullLastTime;
    double fullCreateUsage;
    double fullLastUsage;
    // Start time (stat field 22) of the owning process when last sampled; a
    // different one means the pid now names another process.
    uint64_t startTime;
};

// Gives a slot whose part could not be obtained no use: the request is refused.
inline bool slotPartsPresent(const LastProcessSlot* slot)
{
    return slot->oldTime != nullptr && slot->lastTime != nullptr && slot->createTime != nullptr &&
           slot->myProc != nullptr;
}

// Where the parts come from; tests make it fail.
extern void* (*slotPartAllocator)(size_t size);

// Measurement of the library's own process: a slot of its own, outside the
// table, whose parts are static storage. Its createTime is the start of
// measurement that every slot copies when it is given to a process.
extern LastProcessSlot ownProcessSlot;
