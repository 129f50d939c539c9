// What a spawn leaves behind: the children of failed spawns that did not end
// after their kill, the children whose record was released while they ran,
// and the count of spawns that change the child's user or group, which
// keeps the server's dumpable flag as the kernel left it while such a child
// may still run in the server's memory.
#include "procctl/unix/unix_spawn_plan.h"

#include "procctl/unix/linux_pidfd.h"
#include "procctl/unix/unix_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Spawns that change the child's user or group, and the server's "dumpable"
// flag.  The kernel clears the flag of a memory image whenever a process that
// uses it changes its user or group ids; the child shares the server's memory
// until its exec, so its setgid and setuid clear the server's flag too (no
// core dump, no JVM tool can attach).  The flag must stay clear while such a
// child may still run in that memory: a process of the new user could
// otherwise trace the child and, through it, the server.  So those spawns are
// counted: the first notes the server's flag, and the last, once its child
// has exec'd or ended, puts it back.  Spawns that keep the server's
// credentials never take the lock.
pthread_mutex_t credentialLock = PTHREAD_MUTEX_INITIALIZER;
int credentialSpawns = 0;
int savedDumpable = -1;

} // namespace

void unix_BeginCredentialChange(SpawnPlan* plan)
{
    pthread_mutex_lock(&credentialLock);
    if (credentialSpawns++ == 0) {
        savedDumpable = prctl(PR_GET_DUMPABLE);
    }
    pthread_mutex_unlock(&credentialLock);
    plan->changesCredentials = 1;
}

void unix_EndCredentialChange(int* changesCredentials)
{
    if (*changesCredentials == 0) {
        return;
    }
    pthread_mutex_lock(&credentialLock);
    // Only 0 and 1 can be set again (2 comes from the system's setting).
    if (--credentialSpawns == 0 && (savedDumpable == 0 || savedDumpable == 1) &&
        prctl(PR_GET_DUMPABLE) != savedDumpable) {
        prctl(PR_SET_DUMPABLE, savedDumpable);
    }
    pthread_mutex_unlock(&credentialLock);
    *changesCredentials = 0;
}

namespace {

// Reaps our child if it has ended: 1 once it is reaped (by us, or by
// somebody else before us), 0 while it runs.  Through the pidfd where there
// is one, so that nothing that took over the pid is ever reaped instead;
// else by pid while its start time (when known) is still the pid's.
int reapIfEnded(int pid, int pidfd, unsigned long long startTime)
{
    if (pidfd >= 0) {
        siginfo_t info;
        int rc = unix_pidfd_wait(pidfd, &info, WEXITED | WNOHANG);
        if (rc == 0 || errno != EINVAL) {
            return rc == -1 || info.si_pid != 0 ? 1 : 0;
        }
    }
    unsigned long long current = 0;
    if (startTime != 0 && (!unix_ReadStartTime(pid, &current) || current != startTime)) {
        return 1;
    }
    int rc;
    while ((rc = waitpid(pid, nullptr, WNOHANG)) == -1 && errno == EINTR) {
    }
    return rc > 0 || (rc == -1 && errno == ECHILD) ? 1 : 0;
}

// Children that a failed spawn killed but that did not end (held in the
// kernel, where even SIGKILL waits for the answer).  Such a child still runs
// in the server's memory, on the plan's stack, with the user and group it
// may have taken: its stack stays mapped, and the dumpable flag stays as the
// kernel left it (else that user could read and write the server's memory
// through the child), until it has ended.  Children whose record was
// released while they ran wait here too, so that they do not stay zombies.
// They are looked at, and reaped when they are ours, at every later spawn
// and release.  One known only by its pid keeps its stack and credential
// count for good.
struct AbandonedChild {
    int pid;                      // our child, or 0 for a grandchild
    int pidfd;                    // its pidfd, or -1
    unsigned long long startTime; // its start time, or 0
    void* stacks;
    size_t stacksSize;
    int changesCredentials;
    AbandonedChild* next;
};

pthread_mutex_t abandonedLock = PTHREAD_MUTEX_INITIALIZER;
AbandonedChild* abandoned = nullptr;

// Whether the child has ended; our own child is reaped then, through its
// pidfd where it has one, so that nothing else that took its pid could be.
bool abandonedHasEnded(const AbandonedChild* child)
{
    if (child->pid > 0) {
        return reapIfEnded(child->pid, child->pidfd, child->startTime) != 0;
    }
    struct pollfd p {
        child->pidfd, POLLIN, 0
    };
    if (poll(&p, 1, 0) <= 0) {
        return false;
    }
    // A grandchild that the server adopted (as pid 1 or a subreaper) is
    // ours to reap, through its pidfd; anybody else's is left to its parent.
    siginfo_t info;
    unix_pidfd_wait(child->pidfd, &info, WEXITED | WNOHANG);
    return true;
}

// Keeps the child with what it holds, watched through a pidfd of its own (a
// copy of `pidfd`, or one opened on our unreaped child); false when it
// cannot be watched (a grandchild without a pidfd, or no memory): what it
// holds is then kept for good.
bool keepAbandoned(int pid, int pidfd, unsigned long long startTime, void* stacks, size_t stacksSize,
                   int changesCredentials)
{
    int own = -1;
    if (pidfd >= 0) {
        own = fcntl(pidfd, F_DUPFD_CLOEXEC, 0);
    } else if (pid > 0 && unix_PidfdsAvailable() != 0) {
        own = unix_pidfd_open(pid);
    }
    auto* entry = (pid > 0 || own >= 0) ? static_cast<AbandonedChild*>(malloc(sizeof(AbandonedChild))) : nullptr;
    if (entry == nullptr) {
        if (own >= 0) {
            close(own);
        }
        return false;
    }
    entry->pid = pid > 0 ? pid : 0;
    entry->pidfd = own;
    entry->startTime = startTime;
    entry->stacks = stacks;
    entry->stacksSize = stacksSize;
    entry->changesCredentials = changesCredentials;
    pthread_mutex_lock(&abandonedLock);
    entry->next = abandoned;
    abandoned = entry;
    pthread_mutex_unlock(&abandonedLock);
    return true;
}

} // namespace

bool unix_KillAndReap(int pid, int pidfd, int waitMs)
{
    if (pidfd >= 0) {
        unix_pidfd_send_signal(pidfd, SIGKILL);
    } else {
        while (kill(pid, SIGKILL) == -1 && errno == EINTR) {
        }
    }
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (reapIfEnded(pid, pidfd, 0) != 0) {
            return true;
        }
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 >= waitMs) {
            return false;
        }
        usleep(2000);
    }
}

void unix_AbandonChild(SpawnPlan* plan, int pid, int pidfd, unsigned long long startTime)
{
    keepAbandoned(pid, pidfd, startTime, plan->stacks, plan->stacksSize, plan->changesCredentials);
    plan->stacks = nullptr;
    plan->changesCredentials = 0;
}

void unix_ReapLater(int pid, int pidfd, unsigned long long startTime)
{
    keepAbandoned(pid, pidfd, startTime, nullptr, 0, 0);
}

void unix_ReapAbandonedChildren(void)
{
    AbandonedChild* ended = nullptr;
    pthread_mutex_lock(&abandonedLock);
    for (AbandonedChild** link = &abandoned; *link != nullptr;) {
        AbandonedChild* entry = *link;
        if (!abandonedHasEnded(entry)) {
            link = &entry->next;
            continue;
        }
        *link = entry->next;
        entry->next = ended;
        ended = entry;
    }
    pthread_mutex_unlock(&abandonedLock);
    while (ended != nullptr) {
        AbandonedChild* entry = ended;
        ended = entry->next;
        if (entry->pidfd >= 0) {
            close(entry->pidfd);
        }
        if (entry->stacks != nullptr) {
            munmap(entry->stacks, entry->stacksSize);
        }
        unix_EndCredentialChange(&entry->changesCredentials);
        free(entry);
    }
}
