// Preparation of a spawn in the parent: the child's environment with the
// additive merge, the PATH search candidates, user and group look-ups, and
// the child's stack.
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

#include "procctl/process_env.h"
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/unix/linux_pidfd.h"
#include "procctl/unix/unix_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t CHILD_STACK_SIZE = size_t{128} * 1024;

size_t countEntries(char** list)
{
    size_t n = 0;
    while (list != nullptr && list[n] != nullptr) {
        n++;
    }
    return n;
}

// ---- The child's environment ----

size_t nameLength(const char* entry)
{
    const char* equals = strchr(entry, '=');
    return equals != nullptr ? static_cast<size_t>(equals - entry) : strlen(entry);
}

// The additive variable an entry names (compared ignoring case), or -1.
int additiveIndex(const char* entry)
{
    size_t length = nameLength(entry);
    for (int i = 0; i < 5; i++) {
        const char* name = process_additiveVariables[i];
        if (strlen(name) == length && strncasecmp(entry, name, length) == 0) {
            return i;
        }
    }
    return -1;
}

// Entry names (exact) to their index in an entry array: open addressing over
// a power-of-two table at most half full.
struct NameTable {
    int* slots;
    size_t mask;
    char** entries;
};

bool initNameTable(NameTable* table, char** entries, size_t capacity)
{
    size_t size = 16;
    while (size < 2 * capacity + 1) {
        size *= 2;
    }
    table->slots = static_cast<int*>(malloc(size * sizeof(int)));
    table->mask = size - 1;
    table->entries = entries;
    if (table->slots == nullptr) {
        return false;
    }
    memset(table->slots, 0xff, size * sizeof(int)); // every slot -1: empty
    return true;
}

// The slot of `entry`'s name: the index of the entry with that name, or -1
// where it would go.
int* findName(NameTable* table, const char* entry)
{
    size_t length = nameLength(entry);
    size_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < length; i++) {
        hash = (hash ^ static_cast<unsigned char>(entry[i])) * 1099511628211ULL;
    }
    for (size_t i = hash & table->mask;; i = (i + 1) & table->mask) {
        int index = table->slots[i];
        if (index < 0) {
            return &table->slots[i];
        }
        const char* other = table->entries[index];
        if (nameLength(other) == length && memcmp(other, entry, length) == 0) {
            return &table->slots[i];
        }
    }
}

// A copy of the server's environment as it is now: the child must not read
// the live one, which other threads may change (and free) meanwhile.
int snapshotEnvironment(SpawnPlan* plan, size_t room, size_t* count, int* sysErr)
{
    char** live = environ;
    size_t n = countEntries(live);
    size_t bytes = 0;
    for (size_t i = 0; i < n; i++) {
        bytes += strlen(live[i]) + 1;
    }
    plan->envp = static_cast<char**>(calloc(n + room + 1, sizeof(char*)));
    plan->environmentCopy = static_cast<char*>(malloc(bytes > 0 ? bytes : 1));
    if (plan->envp == nullptr || plan->environmentCopy == nullptr) {
        *sysErr = ENOMEM;
        return PROC_OUT_OF_MEMORY;
    }
    char* next = plan->environmentCopy;
    for (size_t i = 0; i < n; i++) {
        size_t length = strlen(live[i]) + 1;
        memcpy(next, live[i], length);
        plan->envp[i] = next;
        next += length;
    }
    *count = n;
    return PROC_SUCCESS;
}

// requested value ":" inherited value, as elements, without empty ones; null
// (and *failed false) when the request has no element: it adds nothing.
char* mergeAdditive(const char* entry, const char* inherited, bool* failed)
{
    size_t keyLength = nameLength(entry);
    const char* value = process_entryValue(entry);
    size_t inheritedLength = inherited != nullptr ? strlen(inherited) : 0;
    char* merged = static_cast<char*>(malloc(keyLength + strlen(value) + inheritedLength + 3));
    if (merged == nullptr) {
        *failed = true;
        return nullptr;
    }
    char* values = merged + keyLength + 1;
    size_t used = process_appendPathElements(values, 0, value);
    if (used == 0) {
        free(merged);
        return nullptr;
    }
    if (inherited != nullptr) {
        used = process_appendPathElements(values, used, inherited);
    }
    memcpy(merged, entry, keyLength);
    merged[keyLength] = '=';
    values[used] = '\0';
    return merged;
}

// The child's environment: the server's, with the requested entries laid
// over it.  A name requested more than once counts once, the last entry
// winning.  An entry NAME=value sets NAME; a bare NAME removes it.  The
// additive variables (PATH and the like, named in any case) get the
// requested elements in front of the inherited ones; a request without a
// value leaves the inherited value as it is.  Linear in the number of
// entries: names are found through hash tables.
int buildEnvironment(SpawnPlan* plan, char** requested, int* sysErr)
{
    size_t wanted = countEntries(requested);
    size_t count = 0;
    int result = snapshotEnvironment(plan, wanted, &count, sysErr);
    if (result != PROC_SUCCESS || requested == nullptr) {
        return result;
    }
    size_t inherited = count;

    const char* inheritedAdditive[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    for (size_t i = 0; i < inherited; i++) {
        int k = additiveIndex(plan->envp[i]);
        if (k >= 0 && inheritedAdditive[k] == nullptr) {
            inheritedAdditive[k] = process_entryValue(plan->envp[i]);
        }
    }

    NameTable names{};
    NameTable requests{};
    bool* removed = static_cast<bool*>(calloc(inherited + wanted + 1, sizeof(bool)));
    plan->mergedEntries = static_cast<char**>(calloc(wanted + 1, sizeof(char*)));
    bool failed = removed == nullptr || plan->mergedEntries == nullptr ||
                  !initNameTable(&names, plan->envp, inherited + wanted) ||
                  !initNameTable(&requests, requested, wanted);
    for (size_t i = 0; !failed && i < inherited; i++) {
        int* slot = findName(&names, plan->envp[i]);
        if (*slot < 0) {
            *slot = static_cast<int>(i);
        }
    }
    for (size_t i = 0; !failed && i < wanted; i++) {
        *findName(&requests, requested[i]) = static_cast<int>(i);
    }

    size_t merged = 0;
    for (size_t i = 0; !failed && i < wanted; i++) {
        char* entry = requested[i];
        if (*findName(&requests, entry) != static_cast<int>(i)) {
            continue; // a later entry names the same variable
        }
        bool bare = strchr(entry, '=') == nullptr;
        int k = additiveIndex(entry);
        if (k >= 0) {
            entry = mergeAdditive(entry, inheritedAdditive[k], &failed);
            if (entry == nullptr) {
                continue;
            }
            plan->mergedEntries[merged++] = entry;
            bare = false;
        }
        int* slot = findName(&names, entry);
        if (*slot >= 0) {
            plan->envp[*slot] = entry;
            removed[*slot] = bare;
        } else if (!bare) {
            plan->envp[count] = entry;
            *slot = static_cast<int>(count++);
        }
    }

    size_t kept = 0;
    for (size_t i = 0; !failed && i < count; i++) {
        if (!removed[i]) {
            plan->envp[kept++] = plan->envp[i];
        }
    }
    if (!failed) {
        plan->envp[kept] = nullptr;
    }
    free(removed);
    free(names.slots);
    free(requests.slots);
    if (failed) {
        *sysErr = ENOMEM;
        return PROC_OUT_OF_MEMORY;
    }
    return PROC_SUCCESS;
}

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
    size_t n = countEntries(argv);
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

void beginCredentialChange(SpawnPlan* plan)
{
    pthread_mutex_lock(&credentialLock);
    if (credentialSpawns++ == 0) {
        savedDumpable = prctl(PR_GET_DUMPABLE);
    }
    pthread_mutex_unlock(&credentialLock);
    plan->changesCredentials = 1;
}

void endCredentialChange(int* changesCredentials)
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

// Reaps our child if it has ended: 1 once it is reaped (by us, or by
// somebody else before us), 0 while it runs.  Through the pidfd where there
// is one, so that nothing that took over the pid is ever reaped instead.
int reapIfEnded(int pid, int pidfd)
{
    if (pidfd >= 0) {
        siginfo_t info;
        int rc = unix_pidfd_wait(pidfd, &info, WEXITED | WNOHANG);
        if (rc == 0 || errno != EINVAL) {
            return rc == -1 || info.si_pid != 0 ? 1 : 0;
        }
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
    int pid;   // our child, or 0 for a grandchild
    int pidfd; // its pidfd, or -1
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
        return reapIfEnded(child->pid, child->pidfd) != 0;
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
bool keepAbandoned(int pid, int pidfd, void* stacks, size_t stacksSize, int changesCredentials)
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
        beginCredentialChange(plan);
    }
    if (child->group != nullptr) {
        lookUpGroup(child);
    }
    if (child->user != nullptr) {
        lookUpUser(child);
        child->forceGroup = getenv("__JNI_PROCESS_DISABLE_FORCEGROUP") == nullptr ? 1 : 0;
    }

    int result = buildEnvironment(plan, request->environment, sysErr);
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
    endCredentialChange(&plan->changesCredentials);
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
        if (reapIfEnded(pid, pidfd) != 0) {
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

void unix_AbandonChild(SpawnPlan* plan, int pid, int pidfd)
{
    keepAbandoned(pid, pidfd, plan->stacks, plan->stacksSize, plan->changesCredentials);
    plan->stacks = nullptr;
    plan->changesCredentials = 0;
}

void unix_ReapLater(int pid, int pidfd)
{
    keepAbandoned(pid, pidfd, nullptr, 0, 0);
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
        endCredentialChange(&entry->changesCredentials);
        free(entry);
    }
}
