// Search and reclaiming over the slot table. The order of preference for a
// process without a slot: a free slot at the lowest index; else, while the
// table has never been full, a new slot at the end; else the lowest slot of a
// process that has gone (after freeing all such slots); else slot 0.
#include "procload/slot_table.h"
#include "procload/procload_log.h"

#include <cstdio>

std::recursive_mutex procloadStateLock;
LastProcessSlot lastProcessInfo[PROCESS_ID_MAX_SIZE];
int32_t lastProcessInfoSize = 0;
int32_t (*slotLivenessProbe)(int32_t pid) = confirmProcessActive;

int32_t lastProcessInfo_GetIndex(int32_t pid)
{
    ProcloadStateGuard guard(procloadStateLock);
    static const char* const label = "lastProcessInfo_GetIndex";
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "searching for PID=", pid);
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "lastProcessInfoSize=", lastProcessInfoSize);
    int32_t index = findExistingSlot(pid);
    if (index < 0) {
        index = findFreeSlot();
        if (index < 0) {
            index = allocateNewSlot();
        }
        if (index >= 0) {
            initialiseSlot(&lastProcessInfo[index], pid);
        } else {
            // Every slot belongs to a live process. Slot 0 is named, but its
            // owner is another process: the callers refuse the sample.
            if (FULL_TABLE_ALWAYS_REPORTED) {
                printf("%s %s %s\n", thisModuleName, label, "ERROR - PROCESS_ID_MAX_SIZE too small");
                fflush(stdout);
            } else {
                PROCLOAD_DEBUG("%s %s %s\n", label, "ERROR - PROCESS_ID_MAX_SIZE too small");
            }
            index = 0;
        }
    }
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "index=", index);
    return index;
}

int32_t findExistingSlot(int32_t pid)
{
    ProcloadStateGuard guard(procloadStateLock);
    for (int32_t i = 0; i < lastProcessInfoSize; i++) {
        if (lastProcessInfo[i].id == pid) {
            PROCLOAD_DEBUG("%s %s %s %d  slot=%d\n", "findExistingSlot", "EXISTING SLOT FOUND FOR PID=", pid, i);
            return i;
        }
    }
    return -1;
}

int32_t findFreeSlot()
{
    ProcloadStateGuard guard(procloadStateLock);
    for (int32_t i = 0; i < lastProcessInfoSize; i++) {
        if (lastProcessInfo[i].id == 0) {
            clearSlot(&lastProcessInfo[i]);
            PROCLOAD_DEBUG("%s %s %s %d\n", "findFreeSlot", "FREE SLOT FOUND AT POSITION=", i);
            return i;
        }
    }
    return cleanAndFindFreeSlot();
}

int32_t cleanAndFindFreeSlot()
{
    ProcloadStateGuard guard(procloadStateLock);
    static const char* const label = "cleanAndFindFreeSlot";
    // Dead processes are only reclaimed once every slot has been handed out:
    // until then the probe, a file open per owned slot, never runs.
    if (lastProcessInfoSize < PROCESS_ID_MAX_SIZE) {
        return -1;
    }
    int32_t first = -1;
    // The pass runs to the end, so every dead owner's slot is freed at once.
    for (int32_t i = 0; i < PROCESS_ID_MAX_SIZE; i++) {
        LastProcessSlot* slot = &lastProcessInfo[i];
        if (slot->id <= 0) {
            PROCLOAD_DEBUG_NOFLUSH("%s %s %s %d\n", label,
                                   "WARNING: find/clean/find sequence error. SLOT POSITION=", i);
            continue;
        }
        if (slotLivenessProbe(slot->id) == slot->id) {
            continue;
        }
        PROCLOAD_DEBUG("%s %s %s %d\n", label, "CLEANED SLOT AT POSITION=", i);
        slot->id = 0;
        if (first < 0) {
            first = i;
        }
    }
    return first;
}

int32_t allocateNewSlot()
{
    ProcloadStateGuard guard(procloadStateLock);
    if (lastProcessInfoSize > PROCESS_ID_MAX_SIZE - 1) {
        PROCLOAD_DEBUG_NOFLUSH("%s %s %s %d\n", "allocateNewSlot",
                               "WARNING: allocate request failure. lastProcessInfoSize=", lastProcessInfoSize);
        return -1;
    }
    int32_t index = lastProcessInfoSize;
    lastProcessInfoSize++;
    PROCLOAD_DEBUG("%s %s %s\n", "allocateNewSlot", " ALLOCATING NEW lastProcessInfo SLOT");
    return index;
}

void debug_DumpPrivate(const char* label, const char* label2, const LastProcessSlot* lastInfo)
{
    ProcloadStateGuard guard(procloadStateLock);
    printf("debug %s %s %s %s %d\n", thisModuleName, label, label2, "lastInfo->id              = ", lastInfo->id);
    printf("debug %s %s %s %s %f\n", thisModuleName, label, label2,
           "lastInfo->fullCreateTime  = ", lastInfo->fullCreateTime);
    printf("debug %s %s %s %s %f\n", thisModuleName, label, label2,
           "lastInfo->fullLastTime    = ", lastInfo->fullLastTime);
    printf("debug %s %s %s %s %f\n", thisModuleName, label, label2,
           "lastInfo->fullCreateUsage = ", lastInfo->fullCreateUsage);
    printf("debug %s %s %s %s %f\n", thisModuleName, label, label2,
           "lastInfo->fullLastUsage   = ", lastInfo->fullLastUsage);
    fflush(stdout);
}
