// The child side of a spawn: everything between the clone and the exec.
//
// The child runs in the server's memory, on a stack of its own, while the
// server's threads go on.  It may therefore only:
//   - make system calls through raw_syscall (never errno, never a C library
//     wrapper, which may take locks or touch the thread's state);
//   - read the plan, which the parent prepared and keeps unchanged until the
//     child has exec'd or ended;
//   - write its own stack.
// User and group look-ups, the environment, the PATH search candidates and
// every allocation are done by the parent beforehand.
#pragma once

#include <jni.h>

struct ChildPlan {
    // The program.
    const char* executable;
    char** argv;      // slot 0 holds the executable
    char** envp;      // the environment the program gets
    char** execPaths; // where to look for the program, in PATH order
    char** shellArgv; // "/bin/sh", <slot for the path>, arguments..., for scripts without #!
    // The context.
    const char* directory;
    int priority;
    int haveFiles;
    const char* files[3];
    int mask;
    const char* group;
    int groupFound;
    unsigned int groupGid;
    const char* user;
    int userFound;
    unsigned int userUid;
    unsigned int userGid;
    int forceGroup;
    int processGroup;
    // The exec-outcome pipe's write end, or -1.
    int outcomeFd;
    // Detached spawns: the pid pipe, and the grandchild's stack.
    int outcomeReadFd;
    int pidPipe[2];
    void* grandchildStackTop;
    int detached;
    // Whether the grandchild is cloned with a pidfd, which goes to the
    // server with its pid.
    int withPidfd;
    // The log, as the parent saw it.
    int logEnabled;
    unsigned int threadTag;
    int logPid;
    // Highest descriptor + 1, for the last-resort close loop.
    int openMax;
};

extern "C" {

// Run in the child: priority, mask, group, user, directory, process group,
// then the standard streams.  Returns a result code; fills sysErr.
JNIEXPORT int SetupChildContext(ChildPlan* plan, int* sysErr);
JNIEXPORT int SetupChildStdHandles(ChildPlan* plan, int* sysErr);
}

// Entry of a spawned child; never returns.
int unix_childMain(void* arg);
// Entry of the intermediate child of a detached spawn; never returns.
int unix_intermediateMain(void* arg);
