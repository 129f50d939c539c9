// Initialising and clearing Linux slots, the snapshot storage kept apart from
// the table, and the sampling memory of the library's own process.
#include "procload/procload_log.h"
#include "procload/slot_table.h"

#include <cstdio>
#include <cstdlib>

void* (*slotPartAllocator)(size_t size) = malloc;

// One snapshot per slot, touched only by processes sampled in the flat layout.
static ProcStatRecord slotSnapshots[PROCESS_ID_MAX_SIZE][THREAD_SNAPSHOT_SIZE];

static uint64_t ownOldTime = 0;
static timeval ownLastTime = {};
static timeval ownCreateTime = {};
static ProcStatRecord ownProc = {};
static ProcStatRecord ownSnapshot[THREAD_SNAPSHOT_SIZE];
LastProcessSlot ownProcessSlot = {
    .oldTime = &ownOldTime,
    .lastTime = &ownLastTime,
    .createTime = &ownCreateTime,
    .myProc = &ownProc,
    .lastProcesses = ownSnapshot,
    .lastProcessIndex = 0,
    .id = 0,
    .fullCreateTime = 0.0,
    .fullLastTime = 0.0,
    .fullCreateUsage = 0.0,
    .fullLastUsage = 0.0,
    .startTime = 0,
};

template <typename T> static T* obtainPart(T* part)
{
    return part != nullptr ? part : static_cast<T*>(slotPartAllocator(sizeof(T)));
}

void initialiseSlot(LastProcessSlot* slot, int32_t pid)
{
    slot->id = pid;
    slot->createTime = obtainPart(slot->createTime);
    slot->lastTime = obtainPart(slot->lastTime);
    slot->oldTime = obtainPart(slot->oldTime);
    slot->myProc = obtainPart(slot->myProc);
    if (!slotPartsPresent(slot)) {
        printf("%s %s %s\n", thisModuleName, "lastProcessInfo_GetIndex", "out of memory n");
        fflush(stdout);
        return;
    }
    *slot->myProc = ProcStatRecord{};
    slot->myProc->pid = pid;
    *slot->createTime = *ownProcessSlot.createTime;
    *slot->lastTime = timeval{};
    *slot->oldTime = 0;
    slot->fullCreateTime = ownProcessSlot.fullCreateTime;
    slot->fullCreateUsage = ownProcessSlot.fullCreateUsage;
    slot->fullLastTime = getTOD();
    slot->fullLastUsage = 0.0;
    // A slot taken over from a process that has gone starts with an empty
    // snapshot: the old owner's threads are no measure of the new one.
    slot->lastProcesses = slotSnapshots[slot - lastProcessInfo];
    slot->lastProcessIndex = 0;
    slot->startTime = 0;
}

void clearSlot(LastProcessSlot* slot)
{
    // Everything the slot holds reads as zero afterwards; the parts stay
    // allocated for the next owner, and the snapshot beyond its (now zero)
    // count is never read, so its storage is left alone.
    LastProcessSlot cleared{};
    cleared.oldTime = slot->oldTime;
    cleared.lastTime = slot->lastTime;
    cleared.createTime = slot->createTime;
    cleared.myProc = slot->myProc;
    cleared.lastProcesses = slotSnapshots[slot - lastProcessInfo];
    if (slotPartsPresent(&cleared)) {
        *cleared.oldTime = 0;
        *cleared.lastTime = timeval{};
        *cleared.createTime = timeval{};
        *cleared.myProc = ProcStatRecord{};
    }
    *slot = cleared;
}
