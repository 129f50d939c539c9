// What the parent prepares before it starts a child: everything the child
// side needs, so that the child only makes system calls.
#pragma once

#include "procctl/unix/unix_child.h"

#include <cstddef>

struct SpawnPlan {
    ChildPlan child;
    // Owned by the plan.
    char** envp;           // array; its strings are in environmentCopy, the caller's or in mergedEntries
    char* environmentCopy; // the server's environment when the plan was made
    char** mergedEntries;  // merged additive entries (null-terminated)
    char** execPaths;      // candidate paths and their strings
    char** shellArgv;      // array only; its strings belong to the caller
    void* stacks;          // one mapping for the child's (and grandchild's) stack
    size_t stacksSize;
    int changesCredentials; // counted among the spawns that change user or group
    char** commandLine;     // the argument vector (GenerateCmdLine) that unix_BeginSpawn made, or null
};

struct UnixSpawnRequest;

// What both kinds of spawn do before the clone (unix_spawn.cpp), in this
// order: the argument vector, the exec-outcome pipe into outcome, the pid
// channel into pidChannel for a detached spawn (null for a plain one), and
// the plan, which holds the vector from then on and gets the descriptors.
// The plan must be zeroed.  On a failure the descriptors made are closed
// again and the result code is returned with sysErr; the plan is released
// with unix_ReleaseSpawnPlan either way.
int unix_BeginSpawn(SpawnPlan* plan, const UnixSpawnRequest* request, int outcome[2], int pidChannel[2], int* sysErr);
// Closes the n descriptors that are not -1 and sets them to -1.
void unix_CloseDescriptors(int* fds, int n);
// The result code of a failed unix_CloneChild, from its errno.
int unix_CloneFailure(int err);

// Fills the plan for the request, with argv as the program's argument
// vector (slot 0 the executable).  0, or 13 with sysErr when memory runs
// out.
int unix_PrepareSpawnPlan(SpawnPlan* plan, const UnixSpawnRequest* request, char** argv, int detached, int* sysErr);
// The child's environment into the plan (envp and what it points to): the
// server's, with the requested entries laid over it (unix_spawn_environment.cpp).
// 0, or 13 with sysErr when memory runs out.
int unix_BuildChildEnvironment(SpawnPlan* plan, char** requested, int* sysErr);
// Releases what the plan holds.  Only once the child has exec'd or ended:
// until then it runs on the plan's stack and data, in the server's memory.
void unix_ReleaseSpawnPlan(SpawnPlan* plan);

// Top of the child's stack and, for a detached spawn, of the grandchild's.
void* unix_ChildStackTop(const SpawnPlan* plan);
void* unix_GrandchildStackTop(const SpawnPlan* plan);

// Starts fn on the plan's child stack in the server's memory, with every
// signal blocked across the clone.  The pid, or -1 with errno; *pidfd is the
// child's pidfd, made by the clone itself, or -1 where the kernel has none.
int unix_CloneChild(SpawnPlan* plan, int (*fn)(void*), int* pidfd);
// Waits for our child to end and reaps it (through its pidfd where it has
// one); returns at once when somebody else has reaped it.
void unix_AwaitChild(int pid, int pidfd);

// What a spawn leaves behind (unix_abandoned_children.cpp).
//
// A spawn that changes the child's user or group is counted from the plan's
// preparation until its child has exec'd or ended; the last one puts the
// server's dumpable flag back.  unix_EndCredentialChange clears the mark.
void unix_BeginCredentialChange(SpawnPlan* plan);
void unix_EndCredentialChange(int* changesCredentials);

// Kills our child with SIGKILL and reaps it within waitMs milliseconds,
// through its pidfd where it has one: false when it has not ended by then
// (it is then still our child).  A child that somebody else reaped has
// ended.
bool unix_KillAndReap(int pid, int pidfd, int waitMs);

// Hands over a child of a failed spawn that did not end after its kill (our
// child by pid, or a grandchild by its pidfd, or neither when it is not
// known, in which case they are kept for good): the plan's stack and
// credential count are kept until it has ended, and the plan no longer
// releases them.  A child known by its pid only comes with its start time
// (or 0), so that a newcomer that took the pid after somebody else reaped
// the child is never reaped in its place.
void unix_AbandonChild(SpawnPlan* plan, int pid, int pidfd, unsigned long long startTime);
// Hands over a child of ours whose record was released while it ran (with
// the record's pidfd, or -1, and start time), to be reaped once it has ended.
void unix_ReapLater(int pid, int pidfd, unsigned long long startTime);
// The start time of a process (clock ticks since boot) from /proc: false
// when it does not exist.
bool unix_ReadStartTime(int pid, unsigned long long* startTime);
// Reaps the abandoned children that have ended and releases what they kept.
void unix_ReapAbandonedChildren(void);
