// Operations on a process record: liveness, adoption, waits, exit code and
// signals.
//
// A record learns the end of its process in one of two ways.  A child of the
// server is reaped through its own pidfd (waitid(P_PIDFD)), never by pid, and
// the record is marked ended only together with the status it reaped.  A
// process that is not our child (detached, re-attached, the server itself),
// or a child that somebody else reaped first (SIGCHLD ignored, another
// library's waitpid(-1)), is watched instead: its end is seen on its pidfd,
// and its exit code read from the zombie while it is a child of ours that
// somebody else here reaps, else from the pidfd once whoever reaps it has
// done so (Linux 6.15).  One that was not our child when it was pinned but became
// ours later (the server is pid 1 or a subreaper) is reaped through its
// pidfd, since nobody else would.  Every signal goes through the pinned
// identity, so a pid that the system has handed to another process is never
// touched; a record that pins nothing never signals.  A status that nobody
// can tell any more is reported as lost, never as an exit code.
//
// Every look at the process, every reap and every signal happens under the
// record's state lock, so two threads never reap the same child and no
// signal is sent by pid while another thread reaps that pid.
#include "common/linux/proc_stat_text.h"
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/process_strutil.h"
#include "procctl/unix/unix_process.h"
#include "procctl/unix/unix_spawn_plan.h"

#include "procctl/unix/linux_pidfd.h"
#include "procctl/unix/linux_raw_syscall.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

// Seconds between looks of a wait for a process that is not our child and
// has no pidfd (at most).
static constexpr int SLEEP_INTERVAL = 2;
// Milliseconds between looks of a wait for a child of ours without a pidfd.
static constexpr int CHILD_POLL_MS = 20;

namespace {

class StateLock {
  public:
    explicit StateLock(UnixProcessRecord* record) : mutex_(&record->stateLock) { pthread_mutex_lock(mutex_); }
    ~StateLock() { pthread_mutex_unlock(mutex_); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
    pthread_mutex_t* mutex_;
};

int pidOf(const UnixProcessRecord* record)
{
    return atoi(record->pid);
}

// Start time (clock ticks since boot), state letter and parent's pid from
// /proc/<pid>/stat; false when the process does not exist.
bool readStat(int pid, unsigned long long* startTime, char* state, int* ppid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    ProcStatFields fields{};
    if (readProcStatFile(path, &fields) < 22) {
        return false;
    }
    *startTime = fields.startTime;
    *state = fields.state;
    *ppid = fields.ppid;
    return true;
}

long long nowMs()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// The record's exit code for a wait status: the status of a normal exit, or
// the number of the signal that ended the process.
int exitCodeOf(int status)
{
    return (status & 0x7f) == 0 ? (status >> 8) & 0xff : status & 0x7f;
}

// The wait status that waitid's answer stands for.
int statusOf(const siginfo_t& info)
{
    return info.si_code == CLD_EXITED ? (info.si_status & 0xff) << 8 : info.si_status & 0x7f;
}

// Whether the record's pid still names the process it pinned by start time
// (alive or a zombie); false for a record that pinned nothing.
bool sameProcess(const UnixProcessRecord* record)
{
    unsigned long long startTime = 0;
    char state = 0;
    int ppid = 0;
    return record->startTime != 0 && readStat(pidOf(record), &startTime, &state, &ppid) &&
           startTime == record->startTime;
}

// Reaps a child of ours if it has ended, without blocking: 1 with its wait
// status, 0 while it runs, -1 with errno (ECHILD: it is not, or no longer,
// our child).
int reapChild(UnixProcessRecord* record, int* status)
{
    if (record->pidfd >= 0) {
        siginfo_t info;
        int rc = unix_pidfd_wait(record->pidfd, &info, WEXITED | WNOHANG);
        if (rc == 0) {
            if (info.si_pid == 0) {
                return 0;
            }
            *status = statusOf(info);
            return 1;
        }
        if (errno != EINVAL) {
            return -1;
        }
        // A kernel without waits on a pidfd: reaped by pid, as below.
    }
    // By pid only while the pid is still our child's: once somebody else has
    // reaped it, the pid may name a newcomer (even a child of ours, which
    // waitpid would take instead).  What remains is the instant between this
    // look and the waitpid; only a pidfd closes it.  A record that could
    // pin no start time either (no /proc) has only the pid.
    if (record->startTime != 0 && !sameProcess(record)) {
        errno = ECHILD;
        return -1;
    }
    int rc;
    do {
        rc = waitpid(pidOf(record), status, WNOHANG);
    } while (rc == -1 && errno == EINTR);
    return rc > 0 ? 1 : rc;
}

// Whether a process that is not our child has ended; a zombie counts as
// ended.  A record that pins nothing cannot tell its process from a
// newcomer, and counts it as ended too.
bool hasEnded(UnixProcessRecord* record)
{
    if (record->pidfd >= 0) {
        struct pollfd p {
            record->pidfd, POLLIN, 0
        };
        return poll(&p, 1, 0) > 0;
    }
    unsigned long long startTime = 0;
    char state = 0;
    int ppid = 0;
    if (record->startTime == 0 || !readStat(pidOf(record), &startTime, &state, &ppid)) {
        return true;
    }
    return state == 'Z' || state == 'X' || startTime != record->startTime;
}

// Sends sig (0 probes) to the record's own process: 0, or -1 with errno
// (ESRCH once the process has ended, whoever has its pid now).  Under the
// state lock.
int signalLocked(UnixProcessRecord* record, int sig)
{
    int rc;
    if (pidOf(record) <= 0 || record->reaped != 0) {
        errno = ESRCH;
        return -1;
    }
    if (record->pidfd >= 0) {
        do {
            rc = unix_pidfd_send_signal(record->pidfd, sig);
        } while (rc == -1 && errno == EINTR);
        return rc;
    }
    // Without a pidfd the pid is still the process's own only while its
    // start time matches (our child may have been reaped by somebody else).
    if (record->notChild != 0 ? hasEnded(record) : !sameProcess(record)) {
        errno = ESRCH;
        return -1;
    }
    do {
        rc = kill(pidOf(record), sig);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

int signalProcess(UnixProcessRecord* record, int sig)
{
    StateLock lock(record);
    return signalLocked(record, sig);
}

// Milliseconds getExitCode waits for the exit status of a process that has
// ended to appear behind its pidfd: the kernel puts it there when the
// process is reaped, which whoever reaps it (init, another library's
// waitpid) may still be doing.  A wait or a ping that sees the end only
// looks once: the end is what they report, and an init that is slow to reap
// must not delay it.
static constexpr int EXIT_INFO_WAIT_MS = 500;

// Reads the exit status of a process that this record does not reap: from
// the zombie itself, without reaping it, while it is a child of ours that
// somebody else here reaps (another record, a released one's later reap);
// else from its pidfd, once it has been reaped, waiting up to waitMs for
// that.  Under the state lock.
void learnExitCode(UnixProcessRecord* record, int waitMs)
{
    if (record->exitKnown != 0 || record->pidfd < 0) {
        return;
    }
    siginfo_t zombie;
    if (unix_pidfd_wait(record->pidfd, &zombie, WEXITED | WNOHANG | WNOWAIT) == 0 && zombie.si_pid != 0) {
        record->exitCode = exitCodeOf(statusOf(zombie));
        record->exitKnown = 1;
        return;
    }
    if (unix_ExitInfoAvailable() == 0) {
        return;
    }
    for (long long deadline = nowMs() + waitMs;;) {
        unix_pidfd_info info{};
        info.mask = UNIX_PIDFD_INFO_EXIT;
        if (ioctl(record->pidfd, UNIX_PIDFD_GET_INFO, &info) == 0 && (info.mask & UNIX_PIDFD_INFO_EXIT) != 0) {
            record->exitCode = exitCodeOf(info.exit_code);
            record->exitKnown = 1;
            return;
        }
        if (nowMs() >= deadline) {
            return;
        }
        struct timespec pause {
            0, 2000000L
        };
        nanosleep(&pause, nullptr);
    }
}

// Whether the process is our child now (running or ended, not reaped), by
// its pidfd.
bool isOurChild(UnixProcessRecord* record)
{
    if (record->pidfd < 0) {
        return false;
    }
    siginfo_t info;
    return unix_pidfd_wait(record->pidfd, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Reaps a process that has ended and became our child after it was pinned,
// through its pidfd (never by pid): whether it did.  Under the state lock.
bool reapAdopted(UnixProcessRecord* record)
{
    if (record->adoptable == 0 || record->pidfd < 0 || record->exitKnown != 0) {
        return false;
    }
    siginfo_t info;
    if (unix_pidfd_wait(record->pidfd, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) {
        return false;
    }
    record->exitCode = exitCodeOf(statusOf(info));
    record->exitKnown = 1;
    record->reaped = 1;
    return true;
}

// One look at the process, without blocking, and what it tells the record:
// the end (with the reaped status, or what can be known of a process that
// is not our child) or that the process runs.  A process that is still
// running but may not be signalled is a failure (10 with the system error),
// as a probe with signal 0 finds.  Under the state lock.
int lookLocked(UnixProcessRecord* record, int* sysErr)
{
    *sysErr = 0;
    if (record->state == 0) {
        return PROC_SUCCESS;
    }
    if (pidOf(record) <= 0) {
        // Never spawned: there is no process (and waitpid(0) would take any child).
        record->state = 0;
        return PROC_SUCCESS;
    }
    if (record->notChild == 0) {
        int status = 0;
        int reaped = reapChild(record, &status);
        if (reaped == 1) {
            record->exitCode = exitCodeOf(status);
            record->exitKnown = 1;
            record->reaped = 1;
            record->state = 0;
            return PROC_SUCCESS;
        }
        if (reaped == -1 && errno != ECHILD) {
            *sysErr = errno;
            return PROC_SYSTEM_ERR;
        }
        if (reaped == -1) {
            // Somebody else reaped it: from now on it is watched like any
            // process that is not our child, and what can be known of its
            // end is behind its pidfd.  Without one, its pid may already
            // name a newcomer and is never used again.
            record->notChild = 1;
            record->reaped = record->pidfd < 0 ? 1 : 0;
        }
    }
    bool ended = record->notChild != 0 && hasEnded(record);
    if (!ended) {
        int probe = signalLocked(record, 0);
        int probeErr = probe == 0 ? 0 : errno;
        process_log("In Ping NOEXIT Handler.  Kill [with sig 0] returned: [%d].  Errno: [%d]\n", probe, probeErr);
        if (probe != 0 && probeErr != ESRCH) {
            *sysErr = probeErr;
            return PROC_SYSTEM_ERR;
        }
        // A child of ours is ended only once it is reaped.
        ended = probe != 0 && record->notChild != 0;
    }
    if (ended) {
        record->state = 0;
        if (!reapAdopted(record)) {
            learnExitCode(record, 0);
        }
    } else {
        record->state = 1;
    }
    return PROC_SUCCESS;
}

int look(UnixProcessRecord* record, int* sysErr)
{
    StateLock lock(record);
    return lookLocked(record, sysErr);
}

// Waits up to ms milliseconds (-1: without limit) for a change worth another
// look, or less when the process ends first.
void awaitChange(UnixProcessRecord* record, long long ms)
{
    int pidfd;
    int notChild;
    {
        StateLock lock(record);
        pidfd = record->pidfd;
        notChild = record->notChild;
    }
    if (pidfd < 0) {
        long long nap = notChild != 0 ? SLEEP_INTERVAL * 1000LL : CHILD_POLL_MS;
        if (ms >= 0 && ms < nap) {
            nap = ms;
        }
        struct timespec pause {
            static_cast<time_t>(nap / 1000), static_cast<long>(nap % 1000) * 1000000L
        };
        nanosleep(&pause, nullptr);
        return;
    }
    // The pidfd stays open while the record is in use.
    long long deadline = ms < 0 ? -1 : nowMs() + ms;
    for (;;) {
        long long left = deadline < 0 ? -1 : deadline - nowMs();
        if (deadline >= 0 && left < 0) {
            left = 0;
        }
        struct pollfd p {
            pidfd, POLLIN, 0
        };
        if (poll(&p, 1, static_cast<int>(left > 0x7fffffff ? 0x7fffffff : left)) != -1 || errno != EINTR) {
            return;
        }
    }
}

} // namespace

bool unix_ReadStartTime(int pid, unsigned long long* startTime)
{
    char state = 0;
    int ppid = 0;
    return readStat(pid, startTime, &state, &ppid);
}

UnixProcessRecord* unix_NewProcessRecord(void)
{
    auto* record = static_cast<UnixProcessRecord*>(calloc(1, sizeof(UnixProcessRecord)));
    if (record == nullptr) {
        return nullptr;
    }
    pthread_mutex_init(&record->stateLock, nullptr);
    pthread_mutex_init(&record->waiterLock, nullptr);
    pthread_cond_init(&record->waitersDone, nullptr);
    record->pidfd = -1;
    return record;
}

void unix_FreeProcessRecord(UnixProcessRecord* record)
{
    if (record == nullptr) {
        return;
    }
    if (record->pidfd >= 0) {
        close(record->pidfd);
    }
    pthread_cond_destroy(&record->waitersDone);
    free(record);
}

void unix_EnterWait(UnixProcessRecord* record)
{
    pthread_mutex_lock(&record->waiterLock);
    record->waiterCount++;
    pthread_mutex_unlock(&record->waiterLock);
}

void unix_LeaveWait(UnixProcessRecord* record)
{
    pthread_mutex_lock(&record->waiterLock);
    if (--record->waiterCount == 0) {
        pthread_cond_broadcast(&record->waitersDone);
    }
    pthread_mutex_unlock(&record->waiterLock);
}

void unix_AwaitWaiters(UnixProcessRecord* record)
{
    pthread_mutex_lock(&record->waiterLock);
    while (record->waiterCount != 0) {
        struct timespec limit {};
        clock_gettime(CLOCK_REALTIME, &limit);
        limit.tv_sec += 2;
        pthread_cond_timedwait(&record->waitersDone, &record->waiterLock, &limit);
    }
    pthread_mutex_unlock(&record->waiterLock);
}

void unix_PinProcessIdentity(UnixProcessRecord* record)
{
    int pid = pidOf(record);
    if (pid <= 0) {
        return;
    }
    // Running until a look at the process finds otherwise.
    record->state = 1;
    if (record->pidfd < 0 && unix_PidfdsAvailable() != 0) {
        record->pidfd = unix_pidfd_open(pid);
    }
    // The start time names the process where no pidfd does; its parent tells
    // whether a process that is not our child could become ours later.
    char state = 0;
    int ppid = 0;
    unsigned long long ownStart = 0;
    if (readStat(pid, &record->startTime, &state, &ppid)) {
        record->adoptable = record->notChild != 0 && ppid != getpid() ? 1 : record->adoptable;
    } else if (record->pidfd < 0 && record->notChild == 0 && readStat(getpid(), &ownStart, &state, &ppid)) {
        // Our child is gone already (a zombie would still be listed):
        // somebody else reaped it, and its pid may name a newcomer.
        record->notChild = 1;
        record->reaped = 1;
    }
}

int unix_PingProcess(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_PingProcess()");
    process_log("In ping, checking process: [%d]\n", pidOf(record));
    int result = look(record, sysErr);
    if (result == PROC_SUCCESS) {
        process_log("Exiting unix_PingProcess with PROC_SUCCESS\n");
    } else {
        process_log("Exiting unix_PingProcess with PROC_SYSTEM_ERR.  Errno: [%d].  waitResult: [%d]\n", *sysErr, -1);
    }
    process_log_exit("unix_PingProcess()");
    return result;
}

int unix_AdoptProcess(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_AdoptProcess()");
    process_log("In AdoptProcess, calling existance check on Process (PID): [%s]\n", record->pid);
    int result = unix_PingProcess(record, sysErr);
    if (result == PROC_SUCCESS) {
        *sysErr = 0;
        result = record->state == 1 ? PROC_SUCCESS : PROC_HAS_EXITED;
    }
    process_log_exit("unix_AdoptProcess()");
    return result;
}

int unix_WaitForProcessTermination(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_WaitForTermination()");
    process_log("In wait for termination, check process (PID):  [%d]\n", pidOf(record));
    int result;
    for (;;) {
        result = look(record, sysErr);
        // A child of ours that may not be signalled (it runs as another
        // user) is still waited for: its reap needs no permission.
        bool unsignallableChild = result == PROC_SYSTEM_ERR && *sysErr == EPERM && record->notChild == 0;
        if (result == PROC_SUCCESS ? record->state == 0 : !unsignallableChild) {
            break;
        }
        awaitChange(record, -1);
    }
    process_log("In wait for termination.  Wait over for process (PID): [%d].  Errno: [%d].  WaitResult: [%d]\n",
                pidOf(record), *sysErr, result);
    process_log_exit("unix_WaitForTermination()");
    return result;
}

int unix_WaitForProcessTerminationWithTimeout(UnixProcessRecord* record, int seconds, int* sysErr)
{
    process_log_entry("unix_WaitForTerminationWithTimeout()");
    *sysErr = 0;
    process_log("In wait for termination with timeout, check process (PID):  [%s]\n", record->pid);
    // -1 waits without limit; a limit of 0 or below looks once.
    long long deadline = seconds == -1 ? -1 : nowMs() + (seconds > 0 ? seconds * 1000LL : 0);
    int result;
    for (;;) {
        result = look(record, sysErr);
        if (result != PROC_SUCCESS) {
            process_log("unix_PingProcess no longer returning PROC_SUCCESS.  Exiting with Ping Status: [%d]\n", result);
            break;
        }
        if (record->state == 0) {
            break;
        }
        // The limit is over, and the look just taken still saw the process
        // running.
        long long left = deadline < 0 ? SLEEP_INTERVAL * 1000LL : deadline - nowMs();
        if (left <= 0) {
            result = PROC_STILL_ACTIVE;
            break;
        }
        long long nap = left < SLEEP_INTERVAL * 1000LL ? left : SLEEP_INTERVAL * 1000LL;
        process_log("Time to sleep: [%d].  Timeout seconds is: [%d].  SLEEP_INTERVAL is: [%d]\n",
                    static_cast<int>((nap + 999) / 1000), seconds, SLEEP_INTERVAL);
        awaitChange(record, nap);
    }
    process_log_exit("unix_WaitForTerminationWithTimeout()");
    return result;
}

int unix_GetProcessExitCode(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_GetProcessExitCode()");
    *sysErr = 0;
    int result = unix_PingProcess(record, sysErr);
    if (result == PROC_SUCCESS) {
        result = record->state != 0 ? PROC_STILL_ACTIVE : PROC_SUCCESS;
    }
    process_log_exit("unix_GetProcessExitCode()");
    return result;
}

int unix_ReadExitCode(UnixProcessRecord* record, int* exitCode, int* sysErr)
{
    StateLock lock(record);
    *sysErr = 0;
    if (record->state == 0) {
        learnExitCode(record, EXIT_INFO_WAIT_MS);
    }
    *exitCode = record->exitCode;
    // A record that has no process (its pid is 0) has no status to lose.
    if (record->state == 0 && record->exitKnown == 0 && pidOf(record) > 0) {
        *sysErr = ECHILD;
        return PROC_SYSTEM_ERR;
    }
    return PROC_SUCCESS;
}

// Sends sig.  A signal that cannot be sent is a failure unless the process
// has ended meanwhile (then there is nothing left to signal).
static int signalWhileRunning(UnixProcessRecord* record, int sig, int* sysErr)
{
    *sysErr = 0;
    if (signalProcess(record, sig) == 0 || errno == ESRCH) {
        return PROC_SUCCESS;
    }
    int signalErr = errno;
    int lookErr = 0;
    if (look(record, &lookErr) == PROC_SUCCESS && record->state == 0) {
        return PROC_SUCCESS;
    }
    *sysErr = signalErr;
    return PROC_SYSTEM_ERR;
}

int unix_StopProcess(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_StopProcess()");
    process_log("Signaling process: %s with SIGTERM\n", record->pid);
    int result = signalWhileRunning(record, SIGTERM, sysErr);
    process_log_exit("unix_StopProcess()");
    return result;
}

int unix_KillProcess(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_KillProcess()");
    *sysErr = 0;
    process_log("Signaling process: [%s] with SIGKILL\n", record->pid);
    int result = PROC_SUCCESS;
    if (signalProcess(record, SIGKILL) != 0 && errno != ESRCH) {
        *sysErr = errno;
        result = errno == EPERM ? PROC_ACCESS_DENIED : PROC_SYSTEM_ERR;
    }
    process_log_exit("unix_KillProcess()");
    return result;
}

int unix_GenerateJVMThreadDump(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_GenerateJVMThreadDump()");
    int result = signalWhileRunning(record, SIGQUIT, sysErr);
    process_log_exit("unix_GenerateJVMThreadDump()");
    return result;
}

void unix_DeallocateProcessSpawnData(UnixProcessRecord* record)
{
    process_log_entry("unix_DeallocateProcessSpawnData()");
    if (record != nullptr) {
        // Each field is set to null once released, so a second call does nothing.
        UnixSpawnRequest* spawn = &record->spawn;
        for (const char** field :
             {&spawn->executable, &spawn->workingDirectory, &spawn->user, &spawn->group, &spawn->extraText}) {
            free(const_cast<char*>(*field));
            *field = nullptr;
        }
        for (char*** array : {&spawn->arguments, &spawn->environment, &spawn->stdHandleFiles}) {
            ReleaseCStrArray(*array);
            *array = nullptr;
        }
    }
    process_log_exit("unix_DeallocateProcessSpawnData()");
}

void unix_doneWithProcess(UnixProcessRecord* record)
{
    process_log_entry("unix_doneWithProcess()");
    if (record != nullptr) {
        // A child that has ended is reaped now, one that still runs once it
        // has ended: nobody else could do it.
        int sysErr = 0;
        look(record, &sysErr);
        if (record->notChild == 0 && record->reaped == 0 && pidOf(record) > 0) {
            unix_ReapLater(pidOf(record), record->pidfd, record->startTime);
        } else if (record->adoptable != 0 && record->reaped == 0 && isOurChild(record)) {
            // Adopted (the server is pid 1 or a subreaper), running or ended
            // and not reaped (a detached spawn whose program failed to
            // start): reaped through its pidfd once it has ended.
            unix_ReapLater(0, record->pidfd, 0);
        }
        unix_ReapAbandonedChildren();
        process_log("Destroying mutex for process (PID): [%s]\n", record->pid);
        pthread_mutex_destroy(&record->stateLock);
        pthread_mutex_destroy(&record->waiterLock);
    }
    process_log_exit("unix_doneWithProcess()");
}

// ---- What the kernel offers: pidfds, and the exit status behind them ----

int unix_kernelFeatureOverride = UNIX_KERNEL_AS_IS;

int unix_PidfdsAvailable(void)
{
    return unix_kernelFeatureOverride < UNIX_KERNEL_NO_PIDFD ? 1 : 0;
}

namespace {

pthread_once_t exitInfoOnce = PTHREAD_ONCE_INIT;
int exitInfoWorks = 0;

UNIX_CHILD_SIDE int exitAtOnce(void* /*arg*/)
{
    for (;;) {
        raw_syscall(SYS_exit_group, 7);
    }
    return 0;
}

// A child that ends at once with status 7: once reaped, its pidfd must tell
// 7.  The child shares our memory and runs on a small stack of its own, so
// the probe costs no copy of the server's page tables.  It is reaped through
// its pidfd; should somebody else reap it first (SIGCHLD ignored, another
// library's waitpid(-1)), the status appears once that reap is complete,
// which is waited for a while.
void probeExitInfo()
{
    alignas(16) static char stack[16384];
    int pidfd = -1;
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int pid = clone(exitAtOnce, stack + sizeof(stack), CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, nullptr, &pidfd);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid <= 0) {
        return;
    }
    if (pidfd < 0) {
        while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
        return;
    }
    siginfo_t info;
    int reaped = unix_pidfd_wait(pidfd, &info, WEXITED);
    if (reaped == -1 && errno == EINVAL) {
        // No waits on a pidfd (before Linux 5.4): nor exit status behind it.
        while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
    }
    for (int attempt = 0; attempt < 100; attempt++) {
        unix_pidfd_info exitInfo{};
        exitInfo.mask = UNIX_PIDFD_INFO_EXIT;
        int rc = ioctl(pidfd, UNIX_PIDFD_GET_INFO, &exitInfo);
        if (rc == 0 && (exitInfo.mask & UNIX_PIDFD_INFO_EXIT) != 0) {
            exitInfoWorks = exitInfo.exit_code == 7 << 8 ? 1 : 0;
            break;
        }
        // Reaped here, the status would be there already; a kernel without
        // the information answers otherwise than "not yet" (ESRCH).
        if (reaped == 0 || (rc == -1 && errno != ESRCH)) {
            break;
        }
        usleep(2000);
    }
    close(pidfd);
}

} // namespace

int unix_ExitInfoAvailable(void)
{
    pthread_once(&exitInfoOnce, probeExitInfo);
    return unix_kernelFeatureOverride < UNIX_KERNEL_NO_EXIT_INFO ? exitInfoWorks : 0;
}
