// The descendants of a process on Windows: its whole tree of child processes,
// from one snapshot of the system's process list.
#pragma once

#include <cstdint>

constexpr int32_t DESCENDANTS_MAX_SIZE = 512;

// One process of a snapshot, as the system lists it.
struct ProcessEntry {
    int32_t pid;
    int32_t parentPid;
};

// The descendants of root among count entries, walked as a tree in depth
// order: each child (in the order of the entries) followed by its own
// descendants. At most maximum (and at most 512) ids are written; an id is
// listed once, root never, so a parent relation with a cycle (a reused parent
// id can make a process its own ancestor) or a process listed twice ends the
// walk all the same. Answers how many were written.
int32_t walkDescendants(const ProcessEntry* entries, int32_t count, int32_t root, int32_t maximum, int32_t* ids);

// getProcessId_Descendants (procload_platform.h) walks a snapshot taken now;
// it answers 0 when none can be taken.
