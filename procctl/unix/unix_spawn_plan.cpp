// Preparation of a spawn in the parent: the PATH search candidates, user and
// group look-ups, and the child's stack (the child's environment is built in
// unix_spawn_environment.cpp); the clone, and the wait for a child.
//
// Why the child is started with clone(CLONE_VM) and not with fork: fork
// copies the page tables of the whole server (hundreds of milliseconds for a
// large Java heap) only for the copy to be thrown away by exec.  vfork-style
// starts share the server's memory instead.  Of those, CLONE_VFORK (and so
// vfork and posix_spawn) suspends the calling thread until the exec, and a
// child that blocks before its exec (a redirection FIFO without a writer, a
// hung network directory) would hang it for good, defeating the creation
// time-out.  So the child gets a stack of its own and runs alongside the
// parent, which waits on the exec-outcome pipe as before and releases the
// plan only once the child has exec'd or ended.  The child side follows the
// rules in unix_child.h.
#include "procctl/unix/unix_spawn_plan.h"

#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/unix/linux_pidfd.h"
#include "procctl/unix/unix_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t CHILD_STACK_SIZE = size_t{128} * 1024;

const char* pathOf(char** env)
{
    for (size_t i = 0; env != nullptr && env[i] != nullptr; i++) {
        if (strncmp(env[i], "PATH=", 5) == 0) {
            return env[i] + 5;
        }
    }
    return nullptr;
}

// The places execvp would try, in order: the name itself when it holds a
// '/', else each PATH element (an empty one meaning the current directory).
int buildExecPaths(SpawnPlan* plan, const char* executable, int* sysErr)
{
    if (strchr(executable, '/') != nullptr || executable[0] == '\0') {
        plan->execPaths = static_cast<char**>(calloc(2, sizeof(char*)));
        if (plan->execPaths == nullptr || (plan->execPaths[0] = strdup(executable)) == nullptr) {
            *sysErr = ENOMEM;
            return PROC_OUT_OF_MEMORY;
        }
        if (executable[0] == '\0') {
            // Nothing to run: the search ends with ENOENT at once.
            free(plan->execPaths[0]);
            plan->execPaths[0] = nullptr;
        }
        return PROC_SUCCESS;
    }
    const char* path = pathOf(plan->envp);
    if (path == nullptr) {
        path = "/bin:/usr/bin";
    }
    size_t elements = 1;
    for (const char* p = path; *p != '\0'; p++) {
        elements += *p == ':' ? 1 : 0;
    }
    plan->execPaths = static_cast<char**>(calloc(elements + 1, sizeof(char*)));
    if (plan->execPaths == nullptr) {
        *sysErr = ENOMEM;
        return PROC_OUT_OF_MEMORY;
    }
    size_t nameLength = strlen(executable);
    const char* start = path;
    for (size_t i = 0; i < elements; i++) {
        const char* end = strchr(start, ':');
        size_t dirLength = end != nullptr ? static_cast<size_t>(end - start) : strlen(start);
        const char* dir = dirLength == 0 ? "." : start;
        size_t usedLength = dirLength == 0 ? 1 : dirLength;
        char* candidate = static_cast<char*>(malloc(usedLength + 1 + nameLength + 1));
        if (candidate == nullptr) {
            *sysErr = ENOMEM;
            return PROC_OUT_OF_MEMORY;
        }
        memcpy(candidate, dir, usedLength);
        candidate[usedLength] = '/';
        memcpy(candidate + usedLength + 1, executable, nameLength + 1);
        plan->execPaths[i] = candidate;
        start = end != nullptr ? end + 1 : start + dirLength;
    }
    return PROC_SUCCESS;
}

int buildShellArgv(SpawnPlan* plan, char** argv, int* sysErr)
{
    size_t n = 0;
    while (argv[n] != nullptr) {
        n++;
    }
    plan->shellArgv = static_cast<char**>(calloc(n + 2, sizeof(char*)));
    if (plan->shellArgv == nullptr) {
        *sysErr = ENOMEM;
        return PROC_OUT_OF_MEMORY;
    }
    plan->shellArgv[0] = const_cast<char*>("/bin/sh");
    for (size_t i = 1; i < n; i++) {
        plan->shellArgv[i + 1] = argv[i];
    }
    return PROC_SUCCESS;
}

// Entries larger than the buffer (a group with thousands of members) make
// the look-up fail with ERANGE, which is not "not found": the buffer grows
// until the entry fits.
constexpr size_t ACCOUNT_BUFFER_START = 16384;
constexpr size_t ACCOUNT_BUFFER_LIMIT = size_t{64} * 1024 * 1024;

// Runs lookup(entry, buffer, size, &result) with a growing buffer and hands
// the entry to found() while the buffer still holds its strings.
template <typename Entry, typename Lookup, typename Found> void lookUpAccount(Lookup lookup, Found found)
{
    for (size_t size = ACCOUNT_BUFFER_START; size <= ACCOUNT_BUFFER_LIMIT; size *= 2) {
        char* buffer = static_cast<char*>(malloc(size));
        if (buffer == nullptr) {
            return;
        }
        Entry entry{};
        Entry* result = nullptr;
        int rc = lookup(&entry, buffer, size, &result);
        if (rc == 0 && result != nullptr) {
            found(*result);
        }
        free(buffer);
        if (rc != ERANGE) {
            return;
        }
    }
}

void lookUpGroup(ChildPlan* child)
{
    lookUpAccount<struct group>(
        [child](struct group* entry, char* buffer, size_t size, struct group** result) {
            return getgrnam_r(child->group, entry, buffer, size, result);
        },
        [child](const struct group& entry) {
            child->groupFound = 1;
            child->groupGid = entry.gr_gid;
        });
}

void lookUpUser(ChildPlan* child)
{
    lookUpAccount<struct passwd>(
        [child](struct passwd* entry, char* buffer, size_t size, struct passwd** result) {
            return getpwnam_r(child->user, entry, buffer, size, result);
        },
        [child](const struct passwd& entry) {
            child->userFound = 1;
            child->userUid = entry.pw_uid;
            child->userGid = entry.pw_gid;
        });
}

} // namespace

int unix_PrepareSpawnPlan(SpawnPlan* plan, const UnixSpawnRequest* request, char** argv, int detached, int* sysErr)
{
    unix_ReapAbandonedChildren();
    memset(plan, 0, sizeof(*plan));
    ChildPlan* child = &plan->child;
    child->executable = request->executable;
    child->argv = argv;
    child->directory = request->workingDirectory;
    child->priority = request->priority;
    child->mask = request->fileCreationMask;
    child->group = request->group;
    child->user = request->user;
    child->processGroup = request->processGroup;
    child->detached = detached;
    child->outcomeFd = -1;
    child->outcomeReadFd = -1;
    child->pidPipe[0] = child->pidPipe[1] = -1;
    child->logEnabled = process_log_is_dbg_enabled();
    child->threadTag = process_log_thread_id();
    long openMax = sysconf(_SC_OPEN_MAX);
    child->openMax = openMax > 0 && openMax < 1048576 ? static_cast<int>(openMax) : 1048576;
    if (request->stdHandleFiles != nullptr) {
        // Input, output and error, each a name or null.
        child->haveFiles = 1;
        for (int i = 0; i < 3; i++) {
            child->files[i] = request->stdHandleFiles[i];
        }
    }
    if (child->group != nullptr || child->user != nullptr) {
        unix_BeginCredentialChange(plan);
    }
    if (child->group != nullptr) {
        lookUpGroup(child);
    }
    if (child->user != nullptr) {
        lookUpUser(child);
        child->forceGroup = getenv("__JNI_PROCESS_DISABLE_FORCEGROUP") == nullptr ? 1 : 0;
    }

    int result = unix_BuildChildEnvironment(plan, request->environment, sysErr);
    if (result == PROC_SUCCESS) {
        result = buildExecPaths(plan, request->executable, sysErr);
    }
    if (result == PROC_SUCCESS) {
        result = buildShellArgv(plan, argv, sysErr);
    }
    if (result != PROC_SUCCESS) {
        return result;
    }
    child->envp = plan->envp;
    child->execPaths = plan->execPaths;
    child->shellArgv = plan->shellArgv;

    plan->stacksSize = CHILD_STACK_SIZE * (detached != 0 ? 2 : 1);
    void* stacks =
        mmap(nullptr, plan->stacksSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stacks == MAP_FAILED) {
        *sysErr = errno;
        return PROC_OUT_OF_MEMORY;
    }
    plan->stacks = stacks;
    child->grandchildStackTop = unix_GrandchildStackTop(plan);
    return PROC_SUCCESS;
}

void* unix_ChildStackTop(const SpawnPlan* plan)
{
    return static_cast<char*>(plan->stacks) + CHILD_STACK_SIZE;
}

void* unix_GrandchildStackTop(const SpawnPlan* plan)
{
    return plan->stacksSize > CHILD_STACK_SIZE ? static_cast<char*>(plan->stacks) + 2 * CHILD_STACK_SIZE : nullptr;
}

void unix_ReleaseSpawnPlan(SpawnPlan* plan)
{
    unix_EndCredentialChange(&plan->changesCredentials);
    free(plan->envp);
    free(plan->environmentCopy);
    if (plan->mergedEntries != nullptr) {
        for (char** entry = plan->mergedEntries; *entry != nullptr; entry++) {
            free(*entry);
        }
        free(plan->mergedEntries);
    }
    if (plan->execPaths != nullptr) {
        for (char** path = plan->execPaths; *path != nullptr; path++) {
            free(*path);
        }
        free(plan->execPaths);
    }
    free(plan->shellArgv);
    FreeCmdLine(plan->commandLine);
    if (plan->stacks != nullptr) {
        munmap(plan->stacks, plan->stacksSize);
    }
    memset(plan, 0, sizeof(*plan));
}

int unix_CloneChild(SpawnPlan* plan, int (*fn)(void*), int* pidfd)
{
    // The pidfd comes with the clone: from the first instant the child is
    // pinned, so no reaper (the kernel's, when SIGCHLD is ignored, or
    // another library's waitpid(-1)) can take it and pass its pid on before
    // the record holds it.  Kernels before 5.2 ignore the flag and leave
    // *pidfd as it was.
    *pidfd = -1;
    unsigned long flags = CLONE_VM | SIGCHLD | (unix_PidfdsAvailable() != 0 ? CLONE_PIDFD : 0);
    // Blocked signals keep the server's handlers from running on the child's
    // stack before the child has put its own dispositions in place.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int pid = clone(fn, unix_ChildStackTop(plan), static_cast<int>(flags), &plan->child, pidfd);
    int err = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid == -1) {
        *pidfd = -1;
    }
    errno = err;
    return pid;
}

void unix_AwaitChild(int pid, int pidfd)
{
    if (pidfd >= 0) {
        siginfo_t info;
        if (unix_pidfd_wait(pidfd, &info, WEXITED) == 0 || errno != EINVAL) {
            return;
        }
    }
    while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
    }
}
