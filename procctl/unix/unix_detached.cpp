// Detached spawns: the program starts as a grandchild that init adopts, so
// the server never reaps it; and the choice between the two kinds of spawn.
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/unix/unix_process.h"
#include "procctl/unix/unix_spawn_plan.h"

#include "procctl/unix/linux_pidfd.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

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
        result = unix_CreateDetachedProcess(record->executable, record->arguments, record->environment,
                                            record->workingDirectory, record->priority, record->stdHandleFiles,
                                            record->fileCreationMask, record->group, record->user, record->processGroup,
                                            record, sysErr);
    } else {
        process_log("Calling unix_CreateProcess.\n");
        result =
            unix_CreateProcess(record->executable, record->arguments, record->environment, record->workingDirectory,
                               record->priority, record->stdHandleFiles, record->fileCreationMask, record->group,
                               record->user, record->processGroup, record, sysErr);
    }
    process_log("Result from spawn was: [%d].\n", result);
    process_log_exit("unix_spawnProcess()");
    return result;
}

static void closeAll(int* fds, int n)
{
    for (int i = 0; i < n; i++) {
        if (fds[i] != -1) {
            close(fds[i]);
            fds[i] = -1;
        }
    }
}

// The grandchild shares the server's memory until it exec's; when it did not
// exec, the plan may only be released once it has ended.
static void awaitEnd(int pidfd)
{
    if (pidfd < 0) {
        return;
    }
    struct pollfd p {
        pidfd, POLLIN, 0
    };
    while (poll(&p, 1, -1) == -1 && errno == EINTR) {
    }
}

int unix_CreateDetachedProcess(const char* executable, char** arguments, char** environment,
                               const char* workingDirectory, int priority, char** stdHandleFiles, int mask,
                               const char* group, const char* user, int processGroup, UnixProcessRecord* record,
                               int* sysErr)
{
    process_log_entry("unix_CreateDetachedProcess()");
    int result = PROC_SUCCESS;
    int fds[2] = {-1, -1};
    int pidPipe[2] = {-1, -1};
    SpawnPlan plan{};
    char** vector = GenerateCmdLine(arguments, executable);
    if (vector == nullptr) {
        *sysErr = errno;
        result = PROC_SYSTEM_ERR;
    } else {
        *sysErr = 0;
        result = InitializePipe(fds, sysErr);
    }
    if (result == PROC_SUCCESS && pipe2(pidPipe, O_CLOEXEC) != 0) {
        result = (errno == EMFILE || errno == ENFILE) ? PROC_OUT_OF_FILE_HANDLES : PROC_SYSTEM_ERR;
        closeAll(fds, 2);
    }
    if (result == PROC_SUCCESS) {
        result = unix_PrepareSpawnPlan(&plan, executable, vector, environment, workingDirectory, priority,
                                       stdHandleFiles, mask, group, user, processGroup, 1, sysErr);
        if (result != PROC_SUCCESS) {
            closeAll(fds, 2);
            closeAll(pidPipe, 2);
        }
    }
    if (result == PROC_SUCCESS) {
        plan.child.outcomeFd = fds[1];
        plan.child.outcomeReadFd = fds[0];
        plan.child.pidPipe[0] = pidPipe[0];
        plan.child.pidPipe[1] = pidPipe[1];
        int child = unix_CloneChild(&plan, unix_intermediateMain);
        if (child == -1) {
            *sysErr = errno;
            closeAll(fds, 2);
            closeAll(pidPipe, 2);
            result = (*sysErr == ENOMEM || *sysErr == EAGAIN) ? PROC_OUT_OF_MEMORY : PROC_SYSTEM_ERR;
        } else {
            close(pidPipe[1]);
            pidPipe[1] = -1;
            int grandchild = 0;
            ssize_t n;
            do {
                n = read(pidPipe[0], &grandchild, sizeof(grandchild));
            } while (n == -1 && errno == EINTR);
            closeAll(pidPipe, 1);
            while (waitpid(child, nullptr, 0) == -1 && errno == EINTR) {
            }
            if (n != sizeof(grandchild) || grandchild <= 0) {
                // No pid came: no program was started, and no pid is recorded
                // (0 would name the server's own process group).
                closeAll(fds, 2);
                result = PROC_SYSTEM_ERR;
            } else {
                snprintf(record->pid, sizeof(record->pid), "%d", grandchild);
                unix_PinProcessIdentity(record);
                *sysErr = 0;
                result = WaitForExecOutcome(fds, sysErr);
                if (result == PROC_CREATE_TIMEOUT) {
                    if (record->pidfd >= 0) {
                        unix_pidfd_send_signal(record->pidfd, SIGKILL);
                    } else {
                        while (kill(grandchild, SIGKILL) == -1 && errno == EINTR) {
                        }
                    }
                }
                if (result != PROC_SUCCESS) {
                    awaitEnd(record->pidfd);
                }
            }
        }
        record->state = result == PROC_SUCCESS ? 1 : 0;
    }
    unix_ReleaseSpawnPlan(&plan);
    FreeCmdLine(vector);
    process_log_exit("unix_CreateDetachedProcess()");
    return result;
}
