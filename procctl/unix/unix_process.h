// The process record and the Unix process operations: spawn, detached spawn,
// ping, waits, exit code, signals and release.
//
// Every operation returns a result code (ProcResult) and fills sysErr with
// the system's error number, or 0.
#pragma once

#include <atomic>
#include <jni.h>
#include <pthread.h>
#include <sys/types.h>

// Size of the record's pid string (decimal, at most 127 characters).
constexpr int UNIX_PID_SIZE = 128;

struct UnixProcessRecord {
    int exitCode;
    char pid[UNIX_PID_SIZE];
    std::atomic<int> state;
    char* executable;
    char** arguments;
    char** environment;
    char* workingDirectory;
    int priority;
    char** stdHandleFiles;
    int fileCreationMask;
    char* group;
    char* user;
    int processGroup;
    std::atomic<int> waiterCount;
    pthread_mutex_t stateLock;
    pthread_mutex_t waiterLock;
    char* extraText;
    // The process's identity, pinned when the record is made, so that no
    // signal ever reaches a process that merely inherited the pid: a pidfd
    // where the kernel has them, else the process's start time.
    int pidfd;
    unsigned long long startTime;
    // Set once this record has reaped its child (or learnt that somebody
    // else did): the pid is free for reuse and never used again.
    std::atomic<int> reaped;
    // Signalled when the waiter count drops to 0.
    pthread_cond_t waitersDone;
    // 1 for a process that is not the server's child (detached, re-attached,
    // the server itself): it is never waited for, only watched, so no child
    // of the server that took over its pid is ever reaped through it.
    int notChild;
    // 1 once the exit code is known; for a process that is not our child,
    // only when the kernel kept its status behind the pidfd.
    int exitKnown;
};

// Seconds that replace the creation time-out, 0 for none.  Only the tests'
// build of the library can set it (it is not exported).
extern int unix_startTimeoutOverride;

extern "C" {

// Spawn (child of the server).
JNIEXPORT int unix_CreateProcess(const char* executable, char** arguments, char** environment,
                                 const char* workingDirectory, int priority, char** stdHandleFiles, int mask,
                                 const char* group, const char* user, int processGroup, UnixProcessRecord* record,
                                 int* sysErr);
JNIEXPORT char** GenerateCmdLine(char** arguments, const char* executable);
JNIEXPORT void FreeCmdLine(char** vector);
JNIEXPORT int InitializePipe(int fds[2], int* sysErr);
JNIEXPORT int WaitForExecOutcome(int fds[2], int* sysErr);
JNIEXPORT int unix_getStartProcessTimeout(void);

// Detached spawn (grandchild) and the choice between the two.
JNIEXPORT int unix_spawnProcess(UnixProcessRecord* record, int detached, int* sysErr);
JNIEXPORT int unix_CreateDetachedProcess(const char* executable, char** arguments, char** environment,
                                         const char* workingDirectory, int priority, char** stdHandleFiles, int mask,
                                         const char* group, const char* user, int processGroup,
                                         UnixProcessRecord* record, int* sysErr);

// Operations on a record.
JNIEXPORT int unix_PingProcess(UnixProcessRecord* record, int* sysErr);
JNIEXPORT int unix_AdoptProcess(UnixProcessRecord* record, int* sysErr);
JNIEXPORT int unix_WaitForProcessTermination(UnixProcessRecord* record, int* sysErr);
JNIEXPORT int unix_WaitForProcessTerminationWithTimeout(UnixProcessRecord* record, int seconds, int* sysErr);
JNIEXPORT int unix_GetProcessExitCode(UnixProcessRecord* record, int* sysErr);
JNIEXPORT int unix_StopProcess(UnixProcessRecord* record, int* sysErr);
JNIEXPORT int unix_KillProcess(UnixProcessRecord* record, int* sysErr);
JNIEXPORT int unix_GenerateJVMThreadDump(UnixProcessRecord* record, int* sysErr);
JNIEXPORT void unix_DeallocateProcessSpawnData(UnixProcessRecord* record);
JNIEXPORT void unix_doneWithProcess(UnixProcessRecord* record);

// Record life cycle (shared by the entry points): a zeroed record with its
// locks, and its release.
JNIEXPORT UnixProcessRecord* unix_NewProcessRecord(void);
JNIEXPORT void unix_FreeProcessRecord(UnixProcessRecord* record);
// Pins the identity of the process named by the record's pid string.
JNIEXPORT void unix_PinProcessIdentity(UnixProcessRecord* record);
// The exit code kept in the record; for a process that is not our child it
// is learnt once the process has been reaped, where the kernel tells it.
JNIEXPORT int unix_ReadExitCode(UnixProcessRecord* record);
// Whether a pidfd tells the exit status of a process once it has been reaped
// (Linux 6.15); found out once, by the first call (JNI_OnLoad makes it).
JNIEXPORT int unix_ExitInfoAvailable(void);
}
