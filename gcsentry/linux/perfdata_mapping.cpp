// Linux: finds the virtual machine's own performance-data memory among this
// process's mappings. HotSpot creates /tmp/hsperfdata_<user>/<pid> and maps it
// shared; /proc/self/maps names the mapping by that path (with " (deleted)"
// after it once a cleaner has removed the file, which leaves the mapping
// intact). The user part is not compared: it is whatever name the virtual
// machine found for its user. The pid part must be ours, since a monitoring
// tool inside this process may map another virtual machine's file.
#include "gcsentry/perfdata.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

struct Mapping {
    const unsigned char* start;
    std::size_t length;
};

bool endsWith(const char* text, std::size_t length, const char* suffix)
{
    std::size_t n = strlen(suffix);
    return length >= n && memcmp(text + length - n, suffix, n) == 0;
}

// One line of /proc/self/maps, without its newline:
// "start-end perms offset device inode   path".
bool isOwnPerfData(const char* line, const char* pid, Mapping* mapping)
{
    void* start = nullptr;
    void* end = nullptr;
    char perms[5] = {};
    int pathAt = 0;
    if (sscanf(line, "%p-%p %4s %*s %*s %*s %n", &start, &end, perms, &pathAt) != 3 || pathAt == 0 ||
        reinterpret_cast<std::uintptr_t>(end) <= reinterpret_cast<std::uintptr_t>(start) || perms[0] != 'r') {
        return false;
    }
    const char* path = line + pathAt;
    std::size_t length = strlen(path);
    if (endsWith(path, length, " (deleted)")) {
        length -= strlen(" (deleted)");
    }
    // ".../hsperfdata_<user>/<pid>"
    std::size_t pidLength = strlen(pid);
    if (length < pidLength + 1 || memcmp(path + length - pidLength, pid, pidLength) != 0 ||
        path[length - pidLength - 1] != '/') {
        return false;
    }
    const char* dirEnd = path + length - pidLength - 1;
    const char* dir = dirEnd;
    while (dir > path && dir[-1] != '/') {
        dir--;
    }
    static const char PREFIX[] = "hsperfdata_";
    if (static_cast<std::size_t>(dirEnd - dir) < sizeof(PREFIX) - 1 || memcmp(dir, PREFIX, sizeof(PREFIX) - 1) != 0) {
        return false;
    }
    mapping->start = static_cast<const unsigned char*>(start);
    mapping->length = reinterpret_cast<std::uintptr_t>(end) - reinterpret_cast<std::uintptr_t>(start);
    return true;
}

bool findOwnPerfData(Mapping* mapping)
{
    char pid[24];
    snprintf(pid, sizeof(pid), "%ld", static_cast<long>(getpid()));
    FILE* maps = fopen("/proc/self/maps", "re");
    if (maps == nullptr) {
        return false;
    }
    bool found = false;
    char line[PATH_MAX + 256];
    bool wholeLine = true; // the buffer starts at the beginning of a line
    while (!found && fgets(line, sizeof(line), maps) != nullptr) {
        std::size_t n = strlen(line);
        bool complete = n > 0 && line[n - 1] == '\n';
        if (complete) {
            line[n - 1] = '\0';
        }
        // A line longer than the buffer names no mapping we look for: its
        // pieces are skipped, not taken for lines of their own.
        found = wholeLine && complete && isOwnPerfData(line, pid, mapping);
        wholeLine = complete;
    }
    fclose(maps);
    return found;
}

} // namespace

int perfdata_locateHeapSpaces(const volatile std::int64_t* used[PERFDATA_MAX_SPACES])
{
    Mapping mapping{};
    if (!findOwnPerfData(&mapping)) {
        return 0;
    }
    // The virtual machine may be appending a counter at this moment (it counts
    // an entry before it writes it); such a block reads as damaged, so look
    // again a little later before giving up.
    PerfDataSpaces spaces{};
    for (int attempt = 0; attempt < 5; attempt++) {
        if (perfdata_findHeapSpaces(mapping.start, mapping.length, &spaces) == PERFDATA_OK) {
            for (int i = 0; i < spaces.count; i++) {
                used[i] = reinterpret_cast<const volatile std::int64_t*>(mapping.start + spaces.usedOffset[i]);
            }
            return spaces.count;
        }
        timespec pause{0, 2000000L}; // 2 ms
        nanosleep(&pause, nullptr);
    }
    return 0;
}
