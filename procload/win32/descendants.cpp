// Descendant discovery over one process snapshot per call. The parent ids of
// the snapshot are not checked against creation times: a process whose parent
// has ended, and whose parent id a later process got, is listed under that
// later process, as the system reports it.
#include "procload/win32/descendants.h"
#include "common/win32.h"
#include "procload/procload_log.h"
#include "procload/procload_platform.h"

#include <tlhelp32.h>

#include <cstdlib>

namespace {

bool listed(int32_t pid, int32_t root, const int32_t* ids, int32_t count)
{
    if (pid <= 0 || pid == root) {
        return true; // no process of its own, or the root itself
    }
    for (int32_t i = 0; i < count; i++) {
        if (ids[i] == pid) {
            return true;
        }
    }
    return false;
}

// Every entry of a snapshot, in its order, in memory of the caller's to free;
// null when it cannot be read.
ProcessEntry* readSnapshot(int32_t* count)
{
    unique_file_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return nullptr;
    }
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    if (!Process32First(snapshot.get(), &entry)) {
        return nullptr;
    }
    int32_t capacity = 0;
    int32_t n = 0;
    ProcessEntry* entries = nullptr;
    do {
        if (n == capacity) {
            capacity = capacity == 0 ? 256 : capacity * 2;
            auto* grown = static_cast<ProcessEntry*>(realloc(entries, sizeof(ProcessEntry) * capacity));
            if (grown == nullptr) {
                free(entries);
                return nullptr;
            }
            entries = grown;
        }
        entries[n++] = {static_cast<int32_t>(entry.th32ProcessID), static_cast<int32_t>(entry.th32ParentProcessID)};
        entry.dwSize = sizeof entry;
    } while (Process32Next(snapshot.get(), &entry));
    *count = n;
    return entries;
}

} // namespace

int32_t walkDescendants(const ProcessEntry* entries, int32_t count, int32_t root, int32_t maximum, int32_t* ids)
{
    if (maximum > DESCENDANTS_MAX_SIZE) {
        maximum = DESCENDANTS_MAX_SIZE;
    }
    if (root <= 0 || maximum <= 0) {
        return 0;
    }
    // The path from root to the process being walked, each with the position
    // of the entries where the search for its next child goes on. Every
    // process on it but root is listed, so it holds at most maximum + 1.
    struct Frame {
        int32_t pid;
        int32_t next;
    };
    Frame path[DESCENDANTS_MAX_SIZE + 1];
    int32_t depth = 1;
    path[0] = {root, 0};
    int32_t found = 0;
    while (depth > 0 && found < maximum) {
        Frame& frame = path[depth - 1];
        while (frame.next < count &&
               (entries[frame.next].parentPid != frame.pid || listed(entries[frame.next].pid, root, ids, found))) {
            frame.next++;
        }
        if (frame.next == count) {
            depth--;
            continue;
        }
        const int32_t child = entries[frame.next++].pid;
        ids[found++] = child;
        path[depth++] = {child, 0};
    }
    return found;
}

int32_t getProcessId_Descendants(int32_t processID, int32_t maximum, int32_t* ids)
{
    static const char* const label = "getProcessId_Descendants()";
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "ENTER processID=", processID);
    int32_t count = 0;
    ProcessEntry* entries = processID > 0 ? readSnapshot(&count) : nullptr;
    int32_t found = 0;
    if (entries != nullptr) {
        found = walkDescendants(entries, count, processID, maximum, ids);
        free(entries);
    }
    for (int32_t i = 0; i < found; i++) {
        PROCLOAD_DEBUG("%s %s %s %d\n", label, "AUDIT child processID=", ids[i]);
    }
    PROCLOAD_DEBUG("%s %s %s %d\n", label, "EXIT childrenCounter=", found);
    return found;
}
