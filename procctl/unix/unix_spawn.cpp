// Starting a program as a child of the server: the argument vector, the
// exec-outcome pipe and the wait for the child's exec or its report; and the
// choice between that and a detached spawn.
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/unix/unix_process.h"
#include "procctl/unix/unix_spawn_plan.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int unix_startTimeoutOverride = 0;

int unix_getStartProcessTimeout(void)
{
    int seconds = 120;
    const char* value = getenv("__JNI_PROCESS_CREATE_TIMEOUT");
    if (value != nullptr) {
        size_t length = strlen(value);
        bool digits = length >= 1 && length <= 5;
        for (size_t i = 0; digits && i < length; i++) {
            digits = value[i] >= '0' && value[i] <= '9';
        }
        if (digits) {
            seconds = atoi(value) * 60;
            if (seconds < 120) {
                seconds = 120;
            }
        }
    }
    if (unix_startTimeoutOverride > 0) {
        seconds = unix_startTimeoutOverride;
    }
    process_log("Setting process creation timeout to: [%d] seconds.\n", seconds);
    return seconds;
}

char** GenerateCmdLine(char** arguments, const char* executable)
{
    process_log("Checking command line arg array being passed in.  Pointer value is: [0x%x]\n",
                static_cast<unsigned int>(reinterpret_cast<uintptr_t>(arguments)));
    size_t n = 0;
    while (arguments != nullptr && arguments[n] != nullptr) {
        n++;
    }
    auto** vector = static_cast<char**>(calloc(n + 2, sizeof(char*)));
    if (vector == nullptr) {
        return nullptr;
    }
    vector[0] = strdup(executable);
    if (vector[0] == nullptr) {
        free(vector);
        return nullptr;
    }
    for (size_t i = 0; i < n; i++) {
        vector[i + 1] = arguments[i];
    }
    return vector;
}

void FreeCmdLine(char** vector)
{
    if (vector != nullptr) {
        free(vector[0]);
        free(vector);
    }
}

// Close-on-exec from the start: a program that another thread starts between
// the pipe's creation and a later fcntl would keep the write end open, and
// the wait would see no end of file until that program ends.
int InitializePipe(int fds[2], int* sysErr)
{
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *sysErr = errno;
        return (errno == EMFILE || errno == ENFILE) ? PROC_OUT_OF_FILE_HANDLES : PROC_SYSTEM_ERR;
    }
    return PROC_SUCCESS;
}

// Reads until size bytes have come or the writer has closed its end: the
// number of bytes read (0 when the pipe was at its end at once), or -1 with
// errno when a read fails.
static ssize_t readFully(int fd, void* buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, static_cast<char*>(buffer) + done, size - done);
        if (n == 0) {
            break;
        }
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int WaitForExecOutcome(int fds[2], int* sysErr)
{
    int timeout = unix_getStartProcessTimeout();
    close(fds[1]);
    fds[1] = -1;

    // poll, not select: the pipe's descriptor may be far above FD_SETSIZE in
    // a server with many files open.
    int result;
    int ready;
    struct timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout;
    struct pollfd readable {
        fds[0], POLLIN, 0
    };
    do {
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left =
            (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
        ready = poll(&readable, 1, left <= 0 ? 0 : (left > INT_MAX ? INT_MAX : static_cast<int>(left)));
    } while (ready == -1 && errno == EINTR);

    if (ready == 0) {
        *sysErr = ETIMEDOUT;
        result = PROC_CREATE_TIMEOUT;
    } else if (ready < 0) {
        *sysErr = errno;
        result = PROC_SYSTEM_ERR;
    } else {
        int reported = 0;
        ssize_t n = readFully(fds[0], &reported, sizeof(reported));
        if (n == 0) {
            result = PROC_SUCCESS;
        } else if (n == sizeof(reported)) {
            *sysErr = reported;
            int code = 0;
            result = readFully(fds[0], &code, sizeof(code)) == sizeof(code) ? code : static_cast<int>(PROC_SYSTEM_ERR);
        } else {
            *sysErr = errno;
            result = PROC_SYSTEM_ERR;
        }
    }
    close(fds[0]);
    fds[0] = -1;
    return result;
}

// Milliseconds a failed spawn waits for its killed child to end before it
// gives up on it.
static constexpr int CHILD_END_WAIT_MS = 2000;

// The result code of a failed clone.  The pidfd it makes takes a
// descriptor, so it fails like an open when none is left.
int unix_CloneFailure(int err)
{
    if (err == EMFILE || err == ENFILE) {
        return PROC_OUT_OF_FILE_HANDLES;
    }
    return (err == ENOMEM || err == EAGAIN) ? PROC_OUT_OF_MEMORY : PROC_SYSTEM_ERR;
}

void unix_CloseDescriptors(int* fds, int n)
{
    for (int i = 0; i < n; i++) {
        if (fds[i] != -1) {
            close(fds[i]);
            fds[i] = -1;
        }
    }
}

int unix_BeginSpawn(SpawnPlan* plan, const UnixSpawnRequest* request, int outcome[2], int pidChannel[2], int* sysErr)
{
    char** vector = GenerateCmdLine(request->arguments, request->executable);
    if (vector == nullptr) {
        *sysErr = errno;
        return PROC_SYSTEM_ERR;
    }
    *sysErr = 0;
    int result = InitializePipe(outcome, sysErr);
    // The intermediate child sends the grandchild's pid over it, and waits on
    // it for the server's word that the grandchild is pinned.
    if (result == PROC_SUCCESS && pidChannel != nullptr &&
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pidChannel) != 0) {
        *sysErr = errno;
        result = (errno == EMFILE || errno == ENFILE) ? PROC_OUT_OF_FILE_HANDLES : PROC_SYSTEM_ERR;
        unix_CloseDescriptors(outcome, 2);
    }
    if (result == PROC_SUCCESS) {
        result = unix_PrepareSpawnPlan(plan, request, vector, pidChannel != nullptr ? 1 : 0, sysErr);
        if (result != PROC_SUCCESS) {
            unix_CloseDescriptors(outcome, 2);
            if (pidChannel != nullptr) {
                unix_CloseDescriptors(pidChannel, 2);
            }
        }
    }
    plan->commandLine = vector;
    if (result == PROC_SUCCESS) {
        plan->child.outcomeFd = outcome[1];
        if (pidChannel != nullptr) {
            plan->child.outcomeReadFd = outcome[0];
            plan->child.pidPipe[0] = pidChannel[0];
            plan->child.pidPipe[1] = pidChannel[1];
        }
    }
    return result;
}

int unix_SpawnChild(const UnixSpawnRequest* request, UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_CreateProcess()");
    int fds[2] = {-1, -1};
    SpawnPlan plan{};
    int result = unix_BeginSpawn(&plan, request, fds, nullptr, sysErr);
    if (result == PROC_SUCCESS) {
        int pid = unix_CloneChild(&plan, unix_childMain, &record->pidfd);
        snprintf(record->pid, sizeof(record->pid), "%d", pid);
        if (pid == -1) {
            *sysErr = errno;
            process_log("FORK failed.  ERRNO: [%d]\n", *sysErr);
            result = unix_CloneFailure(*sysErr);
            unix_CloseDescriptors(fds, 2);
            record->state = 0;
        } else {
            // Pinned at once: without a pidfd the start time is all there
            // is, and it must be read before the child can end and be reaped
            // by somebody else.
            unix_PinProcessIdentity(record);
            *sysErr = 0;
            result = WaitForExecOutcome(fds, sysErr);
            process_log("WaitForExecOutcome completed.  Return value was: [%d] and sysErr was: [%d]\n", result,
                        *sysErr);
            if (result != PROC_SUCCESS) {
                // A child held in the kernel may outlive even SIGKILL for a
                // long while: create is bounded all the same.
                if (!unix_KillAndReap(pid, record->pidfd, CHILD_END_WAIT_MS)) {
                    unix_AbandonChild(&plan, pid, record->pidfd, record->startTime);
                }
                record->reaped = 1;
            }
            record->state = result == PROC_SUCCESS ? 1 : 0;
        }
    }
    // The child has exec'd or ended: nothing of the plan is in use any more.
    unix_ReleaseSpawnPlan(&plan);
    process_log_exit("unix_CreateProcess()");
    return result;
}

int unix_CreateProcess(const char* executable, char** arguments, char** environment, const char* workingDirectory,
                       int priority, char** stdHandleFiles, int mask, const char* group, const char* user,
                       int processGroup, UnixProcessRecord* record, int* sysErr)
{
    UnixSpawnRequest request{executable, arguments, environment, workingDirectory, priority, stdHandleFiles,
                             mask,       group,     user,        processGroup,     nullptr};
    return unix_SpawnChild(&request, record, sysErr);
}

int unix_spawnProcess(UnixProcessRecord* record, int detached, int* sysErr)
{
    process_log_entry("unix_spawnProcess()");
    if (atoi(record->pid) != 0) {
        process_log_exit("unix_spawnProcess()");
        return PROC_SUCCESS;
    }
    int result;
    if (detached != 0) {
        process_log("Calling unix_CreateDetachedProcess.\n");
        result = unix_SpawnDetached(&record->spawn, record, sysErr);
    } else {
        process_log("Calling unix_CreateProcess.\n");
        result = unix_SpawnChild(&record->spawn, record, sysErr);
    }
    process_log("Result from spawn was: [%d].\n", result);
    process_log_exit("unix_spawnProcess()");
    return result;
}
