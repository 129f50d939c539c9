// Descendant discovery. Grandchildren are only found when they stay in the
// group the process leads; a child that left the group is still found through
// its parent id.
#include "procload/linux/descendants.h"
#include "procload/linux/proc_stat.h"
#include "procload/procload_log.h"
#include "procload/procload_platform.h"
#include "procload/slot_table.h"

#include <cstdio>
#include <dirent.h>

int32_t getProcessId_Descendants(int32_t processID, int32_t maximum, int32_t* ids)
{
    static const char* const label = "getProcessId_Descendants()";
    PROCLOAD_DEBUG("%s %s %s \n", label, "ENTER");
    if (maximum > DESCENDANTS_MAX_SIZE) {
        maximum = DESCENDANTS_MAX_SIZE;
    }
    if (processID <= 0) {
        // No process: pid 0's "children" would be the kernel's threads.
        PROCLOAD_DEBUG("%s %s %s \n", label, "EXIT - no process");
        return 0;
    }
    int mode = isRedHat40(processID);
    DIR* dir = opendir(procRoot);
    if (dir == nullptr || mode < 0) {
        PROCLOAD_DEBUG("%s %s %s redHat40=%d\n", label, "EXIT - dir is NULL or unknown system. ", mode);
        if (dir != nullptr) {
            closedir(dir);
        }
        return 0;
    }
    bool siblings = false;
    {
        // The level is -1 only while getCPUUtilization(-1) lists its own
        // process, holding the lock throughout: a scan on another thread waits
        // for it here instead of printing sibling lines of its own.
        ProcloadStateGuard guard(procloadStateLock);
        siblings = debugEnabled == -1;
    }
    int32_t count = 0;
    while (const dirent* entry = readdir(dir)) {
        ProcStatRecord scratch{};
        if (!procEntryId(entry->d_name, &scratch.pid)) {
            continue;
        }
        RTP_readSingleProcFromStatFile(scratch.pid, entry->d_name, &scratch, mode);
        if (scratch.pid == 0 || scratch.ppid == 0 || scratch.pid == processID) {
            continue;
        }
        if (siblings) {
            fflush(stdout);
        }
        if (scratch.ppid != processID && scratch.pgrp != processID) {
            continue;
        }
        if (siblings) {
            printf("processID:%d pid:%d  ppid:%d pgrp:%d ", processID, scratch.pid, scratch.ppid, scratch.pgrp);
            printf("Sibling Process\n");
            fflush(stdout);
        }
        if (count >= maximum) {
            PROCLOAD_DEBUG_NOFLUSH("%s %s ERROR: Too many children\n", label);
            break;
        }
        ids[count++] = scratch.pid;
    }
    closedir(dir);
    PROCLOAD_DEBUG("%s %s %s\n", label, "EXIT");
    return count;
}
