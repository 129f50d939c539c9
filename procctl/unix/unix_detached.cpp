// Detached spawns: the program starts as a grandchild that init adopts, so
// the server never reaps it.
#include "common/linux/proc_stat_text.h"
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/unix/unix_process.h"
#include "procctl/unix/unix_spawn_plan.h"

#include "procctl/unix/linux_pidfd.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// Milliseconds a failed spawn waits for its grandchild to end, after the
// report or the kill, before it gives up on it.
static constexpr int GRANDCHILD_END_WAIT_MS = 2000;

static long long nowMs()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Whether the grandchild has ended (a zombie has); it then uses nothing of
// ours any more.
static bool grandchildEnded(const UnixProcessRecord* record, int waitMs)
{
    if (record->pidfd >= 0) {
        struct pollfd p {
            record->pidfd, POLLIN, 0
        };
        int ready;
        while ((ready = poll(&p, 1, waitMs)) == -1 && errno == EINTR) {
        }
        return ready > 0;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/%s/stat", record->pid);
    for (long long deadline = nowMs() + waitMs;;) {
        // Gone, a zombie, or its pid taken by a newcomer (another start time).
        ProcStatFields fields{};
        if (readProcStatFile(path, &fields) < 22 || fields.state == 'Z' || fields.state == 'X' ||
            fields.startTime != record->startTime) {
            return true;
        }
        if (nowMs() >= deadline) {
            return false;
        }
        usleep(2000);
    }
}

// Reads the grandchild's pid, and its pidfd when one came along (else -1),
// from the intermediate child within the limit: the pid; 0 when the
// intermediate child ended without starting one; -1 when it did not answer
// in time (whether it started one is then unknown).
static int readGrandchild(int fd, int timeoutMs, int* pidfd)
{
    *pidfd = -1;
    struct pollfd p {
        fd, POLLIN, 0
    };
    int ready;
    while ((ready = poll(&p, 1, timeoutMs)) == -1 && errno == EINTR) {
    }
    if (ready <= 0) {
        return -1;
    }
    int grandchild = 0;
    struct iovec data {
        &grandchild, sizeof(grandchild)
    };
    union {
        char buffer[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control{};
    struct msghdr message {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof(control.buffer);
    ssize_t n;
    while ((n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC)) == -1 && errno == EINTR) {
    }
    struct cmsghdr* header = n > 0 ? CMSG_FIRSTHDR(&message) : nullptr;
    if (header != nullptr && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
        header->cmsg_len == CMSG_LEN(sizeof(int))) {
        memcpy(pidfd, CMSG_DATA(header), sizeof(int));
    }
    if (n != sizeof(grandchild) || grandchild <= 0) {
        if (*pidfd >= 0) {
            close(*pidfd);
            *pidfd = -1;
        }
        return 0;
    }
    return grandchild;
}

int unix_SpawnDetached(const UnixSpawnRequest* request, UnixProcessRecord* record, int* sysErr)
{
    process_log_entry("unix_CreateDetachedProcess()");
    int fds[2] = {-1, -1};
    int pidChannel[2] = {-1, -1};
    SpawnPlan plan{};
    int result = unix_BeginSpawn(&plan, request, fds, pidChannel, sysErr);
    if (result == PROC_SUCCESS) {
        plan.child.withPidfd = unix_PidfdsAvailable();
        int timeoutMs = unix_getStartProcessTimeout() * 1000;
        int childPidfd = -1;
        int child = unix_CloneChild(&plan, unix_intermediateMain, &childPidfd);
        if (child == -1) {
            *sysErr = errno;
            unix_CloseDescriptors(fds, 2);
            unix_CloseDescriptors(pidChannel, 2);
            result = unix_CloneFailure(*sysErr);
        } else {
            unix_CloseDescriptors(pidChannel + 1, 1);
            int grandchild = readGrandchild(pidChannel[0], timeoutMs, &record->pidfd);
            if (grandchild > 0) {
                // The pidfd came from the clone itself; without one, the
                // start time is pinned while the intermediate child still
                // holds the program (alive, so nobody can reap it).
                snprintf(record->pid, sizeof(record->pid), "%d", grandchild);
                record->notChild = 1;
                record->adoptable = 1;
                unix_PinProcessIdentity(record);
            } else if (childPidfd >= 0) {
                unix_pidfd_send_signal(childPidfd, SIGKILL);
            } else {
                while (kill(child, SIGKILL) == -1 && errno == EINTR) {
                }
            }
            char pinned = 1;
            while (send(pidChannel[0], &pinned, 1, MSG_NOSIGNAL) == -1 && errno == EINTR) {
            }
            unix_CloseDescriptors(pidChannel, 1);
            unix_AwaitChild(child, childPidfd);
            unix_CloseDescriptors(&childPidfd, 1);
            if (grandchild <= 0) {
                // No pid came: no pid is recorded (0 would name the server's
                // own process group).  An intermediate child that did not
                // answer may have started a program all the same, which may
                // still be running on the plan's stack.
                unix_CloseDescriptors(fds, 2);
                result = PROC_SYSTEM_ERR;
                if (grandchild < 0) {
                    unix_AbandonChild(&plan, 0, -1, 0);
                }
            } else {
                *sysErr = 0;
                result = WaitForExecOutcome(fds, sysErr);
                if (result == PROC_CREATE_TIMEOUT) {
                    if (record->pidfd >= 0) {
                        unix_pidfd_send_signal(record->pidfd, SIGKILL);
                    } else if (!grandchildEnded(record, 0)) {
                        while (kill(grandchild, SIGKILL) == -1 && errno == EINTR) {
                        }
                    }
                }
                // Until its exec the grandchild runs on the plan's stack in
                // our memory: after a failure it is given a while to end, and
                // if it has not, it keeps its stack (and the dumpable flag
                // stays cleared) until it has.
                if (result != PROC_SUCCESS && !grandchildEnded(record, GRANDCHILD_END_WAIT_MS)) {
                    unix_AbandonChild(&plan, 0, record->pidfd, 0);
                }
            }
        }
        record->state = result == PROC_SUCCESS ? 1 : 0;
    }
    unix_ReleaseSpawnPlan(&plan);
    process_log_exit("unix_CreateDetachedProcess()");
    return result;
}

int unix_CreateDetachedProcess(const char* executable, char** arguments, char** environment,
                               const char* workingDirectory, int priority, char** stdHandleFiles, int mask,
                               const char* group, const char* user, int processGroup, UnixProcessRecord* record,
                               int* sysErr)
{
    UnixSpawnRequest request{executable, arguments, environment, workingDirectory, priority, stdHandleFiles,
                             mask,       group,     user,        processGroup,     nullptr};
    return unix_SpawnDetached(&request, record, sysErr);
}
