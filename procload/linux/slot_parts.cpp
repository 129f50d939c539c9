// Initialising and clearing Linux slots, the snapshot storage kept apart from
// the table, and the sampling memory of the library's own process.
#include "procload/procload_log.h"
#include "procload/slot_table.h"

#include <cstdio>
#include <cstdlib>

void* (*slotPartAllocator)(size_t size) = malloc;

// One snapshot per slot, touched only by processes sampled in the flat layout.
static ProcStatRecord slotSnapshots[PROCESS_ID_MAX_SIZE][THREAD_SNAPSHOT_SIZE];

uint64_t global_oldTime = 0;
timeval global_lastTime = {};
timeval global_createTime = {};
ProcStatRecord global_myProc = {};
ProcStatRecord global_lastProcesses[THREAD_SNAPSHOT_SIZE];
int32_t global_lastProcessIndex = 0;
uint64_t global_startTime = 0;
double global_fullCreateTime = 0.0;
double global_fullLastTime = 0.0;
double global_fullCreateUsage = 0.0;

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
    *slot->createTime = global_createTime;
    *slot->lastTime = timeval{};
    *slot->oldTime = 0;
    slot->fullCreateTime = global_fullCreateTime;
    slot->fullCreateUsage = global_fullCreateUsage;
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
