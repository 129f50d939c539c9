// Operations on a process record: liveness, adoption, waits, exit code and
// signals.  The process is named by the record's pid, but every signal and
// every liveness probe goes through the identity pinned in the record, so a
// pid that the system has handed to another process is never touched.
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/process_strutil.h"
#include "procctl/unix/unix_process.h"

#include "procctl/unix/linux_pidfd.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// Seconds between pings of a wait with a limit (at most).
static constexpr int SLEEP_INTERVAL = 2;

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

// Start time (clock ticks since boot) and state letter from /proc/<pid>/stat;
// false when the process does not exist.
bool readStat(int pid, unsigned long long* startTime, char* state)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[1024];
    ssize_t n = read(fd, buffer, sizeof(buffer) - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    buffer[n] = '\0';
    char* p = strrchr(buffer, ')');
    if (p == nullptr || p[1] == '\0') {
        return false;
    }
    // After ") " come the state (field 3) and, 19 fields later, the start time (field 22).
    p += 2;
    *state = *p;
    for (int field = 3; field < 22 && p != nullptr; field++) {
        p = strchr(p, ' ');
        if (p != nullptr) {
            p++;
        }
    }
    if (p == nullptr) {
        return false;
    }
    *startTime = strtoull(p, nullptr, 10);
    return true;
}

// A process that has ended counts as gone even while it is a zombie that
// nobody has reaped yet.
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
    if (!readStat(pidOf(record), &startTime, &state)) {
        return true;
    }
    return state == 'Z' || state == 'X' || (record->startTime != 0 && startTime != record->startTime);
}

// Sends sig (0 probes) to the record's own process: 0, or -1 with errno
// (ESRCH once the process has ended, whoever has its pid now).
int signalProcess(UnixProcessRecord* record, int sig)
{
    int pid = pidOf(record);
    if (pid <= 0 || record->reaped != 0) {
        errno = ESRCH;
        return -1;
    }
    if ((sig == 0 || record->pidfd < 0) && hasEnded(record)) {
        errno = ESRCH;
        return -1;
    }
    int rc;
    do {
        rc = record->pidfd >= 0 ? unix_pidfd_send_signal(record->pidfd, sig) : kill(pid, sig);
    } while (rc == -1 && errno == EINTR);
    return rc;
}

// Sleeps up to `seconds`, or less when the process ends first.
void sleepUntilEnd(UnixProcessRecord* record, int seconds)
{
    if (record->pidfd < 0) {
        sleep(static_cast<unsigned int>(seconds));
        return;
    }
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long remaining = seconds * 1000L;
    while (remaining > 0) {
        struct pollfd p {
            record->pidfd, POLLIN, 0
        };
        int ready = poll(&p, 1, static_cast<int>(remaining));
        if (ready != -1 || errno != EINTR) {
            return;
        }
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        remaining = seconds * 1000L - ((now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L);
    }
}

// Records the end of a reaped child.
void recordExit(UnixProcessRecord* record, int status)
{
    if ((status & 0xff) == 0) {
        record->exitCode = (status >> 8) & 0xff;
        record->state = 0;
        record->reaped = 1;
    } else if (((status >> 8) & 0xff) == 0) {
        record->exitCode = status & 0x7f;
        record->state = 0;
        record->reaped = 1;
    } else {
        record->state = 1;
    }
}

} // namespace

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

void unix_PinProcessIdentity(UnixProcessRecord* record)
{
    int pid = pidOf(record);
    if (pid <= 0 || record->pidfd >= 0) {
        return;
    }
    record->pidfd = unix_pidfd_open(pid);
    if (record->pidfd < 0) {
        char state = 0;
        readStat(pid, &record->startTime, &state);
    }
}

int unix_PingProcess(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_PingProcess()");
    int pid = pidOf(record);
    int status = 0;
    int waitResult;
    do {
        process_log("In ping, checking process: [%d]\n", pid);
        errno = 0;
        // A reaped child's pid may already belong to another child of the
        // server: it is not waited for again.
        if (pid <= 0 || record->reaped != 0) {
            errno = ECHILD;
            waitResult = -1;
        } else {
            waitResult = waitpid(pid, &status, WNOHANG);
        }
    } while (waitResult == -1 && errno == EINTR);
    int err = errno;
    *sysErr = err;
    if (err == 0 && waitResult == -1) {
        process_log("Screwball case on Linux.  No error, yet waitpid returned -1\n");
    }

    int result;
    if (waitResult == pid && pid > 0) {
        StateLock lock(record);
        recordExit(record, status);
        *sysErr = 0;
        result = PROC_SUCCESS;
    } else if (waitResult == 0 || (waitResult == -1 && (err == ECHILD || err == 0))) {
        int probe = signalProcess(record, 0);
        int probeErr = probe == 0 ? 0 : errno;
        process_log("In Ping NOEXIT Handler.  Kill [with sig 0] returned: [%d].  Errno: [%d]\n", probe, probeErr);
        if (probe != 0 && probeErr != ESRCH) {
            *sysErr = probeErr;
            process_log("Exiting unix_PingProcess with PROC_SYSTEM_ERR.  Errno: [%d].  waitResult: [%d]\n", probeErr,
                        waitResult);
            result = PROC_SYSTEM_ERR;
        } else {
            if (pthread_mutex_trylock(&record->stateLock) == 0) {
                record->state = probe == 0 ? 1 : 0;
                *sysErr = 0;
                pthread_mutex_unlock(&record->stateLock);
            }
            process_log("Exiting unix_PingProcess with PROC_SUCCESS\n");
            result = PROC_SUCCESS;
        }
    } else {
        process_log(
            "Exiting unix_PingProcess with PROC_SYSTEM_ERR with no conditions met.  Errno: [%d].  waitResult: [%d]\n",
            err, waitResult);
        result = PROC_SYSTEM_ERR;
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
        StateLock lock(record);
        result = record->state == 1 ? PROC_SUCCESS : PROC_HAS_EXITED;
    }
    process_log_exit("unix_AdoptProcess()");
    return result;
}

int unix_WaitForProcessTermination(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_WaitForTermination()");
    int pid = pidOf(record);
    process_log("In wait for termination, check process (PID):  [%d]\n", pid);
    int status = 0;
    int waitResult;
    do {
        if (pid <= 0 || record->reaped != 0) {
            errno = ECHILD;
            waitResult = -1;
        } else {
            waitResult = waitpid(pid, &status, 0);
        }
        process_log("In wait for termination.  Wait over for process (PID): [%d].  Errno: [%d].  WaitResult: [%d]\n",
                    pid, errno, waitResult);
    } while (waitResult == -1 && errno == EINTR);

    int result;
    if (waitResult == pid && pid > 0) {
        StateLock lock(record);
        record->exitCode = (status & 0xff) == 0 ? (status >> 8) & 0xff : status & 0x7f;
        record->state = 0;
        record->reaped = 1;
        *sysErr = 0;
        result = PROC_SUCCESS;
    } else if (errno == ECHILD) {
        process_log("In ECHILD Handler for wait for termination.  Recieved ECHILD for process (PID): [%d]\n", pid);
        result = unix_WaitForProcessTerminationWithTimeout(record, -1, sysErr);
    } else {
        *sysErr = errno;
        result = PROC_SYSTEM_ERR;
    }
    process_log_exit("unix_WaitForTermination()");
    return result;
}

// The state, read under the state lock.
static int stateOf(UnixProcessRecord* record)
{
    StateLock lock(record);
    return record->state;
}

int unix_WaitForProcessTerminationWithTimeout(UnixProcessRecord* record, int seconds, int* sysErr)
{
    process_log_entry("unix_WaitForTerminationWithTimeout()");
    *sysErr = 0;
    process_log("In wait for termination with timeout, check process (PID):  [%s]\n", record->pid);
    int result = PROC_STILL_ACTIVE;
    if (seconds == -1 || seconds >= 1) {
        int elapsed = 0;
        for (;;) {
            int ping = unix_PingProcess(record, sysErr);
            if (ping != PROC_SUCCESS) {
                process_log("unix_PingProcess no longer returning PROC_SUCCESS.  Exiting with Ping Status: [%d]\n",
                            ping);
                result = ping;
                break;
            }
            if (stateOf(record) == 0) {
                result = PROC_SUCCESS;
                break;
            }
            if (seconds != -1 && elapsed >= seconds) {
                // The limit is over, and the look just taken still saw the
                // process running.
                result = PROC_STILL_ACTIVE;
                break;
            }
            int nap = SLEEP_INTERVAL;
            if (seconds != -1 && seconds - elapsed < nap) {
                nap = seconds - elapsed;
            }
            process_log("Time to sleep: [%d].  Timeout seconds is: [%d].  SLEEP_INTERVAL is: [%d]\n", nap, seconds,
                        SLEEP_INTERVAL);
            sleepUntilEnd(record, nap);
            elapsed += nap;
        }
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
        result = stateOf(record) != 0 ? PROC_STILL_ACTIVE : PROC_SUCCESS;
    }
    process_log_exit("unix_GetProcessExitCode()");
    return result;
}

// Sends sig; a failure to signal counts only while a ping still sees the
// process running.  A failed ping leaves its own error in sysErr when asked.
static int signalWhileRunning(UnixProcessRecord* record, int sig, bool keepPingError, int* sysErr)
{
    *sysErr = 0;
    if (signalProcess(record, sig) == 0 || errno == ESRCH) {
        return PROC_SUCCESS;
    }
    int signalErr = errno;
    int pingErr = 0;
    if (unix_PingProcess(record, &pingErr) != PROC_SUCCESS) {
        *sysErr = keepPingError ? pingErr : 0;
        return PROC_SUCCESS;
    }
    if (stateOf(record) != 0) {
        *sysErr = signalErr;
        return PROC_SYSTEM_ERR;
    }
    return PROC_SUCCESS;
}

int unix_StopProcess(UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_StopProcess()");
    process_log("Signaling process: %s with SIGTERM\n", record->pid);
    int result = signalWhileRunning(record, SIGTERM, false, sysErr);
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
    int result = signalWhileRunning(record, SIGQUIT, true, sysErr);
    process_log_exit("unix_GenerateJVMThreadDump()");
    return result;
}

void unix_DeallocateProcessSpawnData(UnixProcessRecord* record)
{
    process_log_entry("unix_DeallocateProcessSpawnData()");
    if (record != nullptr) {
        // Each field is set to null once released, so a second call does nothing.
        for (char** field :
             {&record->executable, &record->workingDirectory, &record->user, &record->group, &record->extraText}) {
            free(*field);
            *field = nullptr;
        }
        for (char*** array : {&record->arguments, &record->environment, &record->stdHandleFiles}) {
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
        process_log("Destroying mutex for process (PID): [%s]\n", record->pid);
        pthread_mutex_destroy(&record->stateLock);
        pthread_mutex_destroy(&record->waiterLock);
    }
    process_log_exit("unix_doneWithProcess()");
}
