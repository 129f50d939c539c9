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

// What a spawn is asked to start, as create received it: read by both kinds
// of spawn and by the plan, owned by whoever filled it in (the record's
// spawn data is released by unix_DeallocateProcessSpawnData).
struct UnixSpawnRequest {
    const char* executable;
    char** arguments;   // or null
    char** environment; // NAME=value entries, or null
    const char* workingDirectory;
    int priority;
    char** stdHandleFiles; // input, output and error, each a name or null; or null
    int fileCreationMask;
    const char* group;
    const char* user;
    int processGroup;
    const char* extraText; // kept, never used
};

struct UnixProcessRecord {
    int exitCode;
    char pid[UNIX_PID_SIZE];
    std::atomic<int> state;
    UnixSpawnRequest spawn;
    std::atomic<int> waiterCount;
    pthread_mutex_t stateLock;
    pthread_mutex_t waiterLock;
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
    // only when the kernel kept its status behind the pidfd, or once this
    // record reaped it after it became our child.
    int exitKnown;
    // 1 for a process that was not our child when it was pinned (a detached
    // program, most re-attached ones): should it become our child (the
    // server is pid 1 or a subreaper), its record reaps it through its
    // pidfd, since nobody else would.
    int adoptable;
};

// Seconds that replace the creation time-out, 0 for none.  Only the tests'
// build of the library can set it (it is not exported).
extern int unix_startTimeoutOverride;

// What the kernel is taken to offer: all it has, or less, so that the tests
// can run the paths older kernels take.  Only the tests' build sets it.
enum UnixKernelFeatures : int {
    UNIX_KERNEL_AS_IS = 0,
    UNIX_KERNEL_NO_EXIT_INFO = 1, // pidfds, but no exit status behind them (before Linux 6.15)
    UNIX_KERNEL_NO_PIDFD = 2,     // no pidfds at all (before Linux 5.2)
};
extern int unix_kernelFeatureOverride;

// The two kinds of spawn, of one request; unix_CreateProcess and
// unix_CreateDetachedProcess take the request's fields one by one.
int unix_SpawnChild(const UnixSpawnRequest* request, UnixProcessRecord* record, int* sysErr);
int unix_SpawnDetached(const UnixSpawnRequest* request, UnixProcessRecord* record, int* sysErr);

// The waiter count of a record: a wait of the entry points enters before it
// waits and leaves after, and an exit-code query awaits the waiters (in
// 2-second looks), so that a wait that is reaping the process writes the
// code first.
void unix_EnterWait(UnixProcessRecord* record);
void unix_LeaveWait(UnixProcessRecord* record);
void unix_AwaitWaiters(UnixProcessRecord* record);

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
// Pins the identity of the process named by the record's pid string: a
// pidfd (unless the record has one already) and the start time.  A process
// that is not our child and whose parent is another process is marked
// adoptable.  The record is then running.
JNIEXPORT void unix_PinProcessIdentity(UnixProcessRecord* record);
// The exit code of a record whose process has ended, into *exitCode: 0; or
// 10 with sysErr ECHILD when it cannot be known (somebody else reaped the
// process and the kernel kept no status for us), so that a lost status never
// reads as an exit code.
JNIEXPORT int unix_ReadExitCode(UnixProcessRecord* record, int* exitCode, int* sysErr);
// Whether a pidfd tells the exit status of a process once it has been reaped
// (Linux 6.15); found out once, by the first call (JNI_OnLoad makes it).
JNIEXPORT int unix_ExitInfoAvailable(void);
// Whether processes are started with a pidfd (CLONE_PIDFD, Linux 5.2) and
// pinned by one.
JNIEXPORT int unix_PidfdsAvailable(void);
}
