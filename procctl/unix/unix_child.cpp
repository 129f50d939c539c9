// The child side of a spawn.  Read unix_child.h first: only raw system calls
// and the prepared plan are used here, and every function carries
// UNIX_CHILD_SIDE so that no sanitizer runtime runs on the child's stack.
#include "procctl/unix/unix_child.h"
#include "procctl/unix/unix_child_log.h"

#include "procctl/process_error.h"
#include "procctl/unix/linux_raw_syscall.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// ---- Small string helper (the C library's may be intercepted) ----

UNIX_CHILD_SIDE size_t childStrlen(const char* s)
{
    size_t n = 0;
    while (s[n] != '\0') {
        n++;
    }
    return n;
}

// ---- Signals ----

// The kernel's struct sigaction.
struct KernelSigaction {
    void* handler;
    unsigned long flags;
    void* restorer;
    unsigned long mask;
};

// The program starts with default dispositions (the server's handlers mean
// nothing to it), SIGTTOU and SIGTTIN ignored, so that a child in the
// background may still write to and read from its terminal without stopping.
UNIX_CHILD_SIDE void resetSignals()
{
    for (int sig = 1; sig < 65; sig++) {
        if (sig == SIGKILL || sig == SIGSTOP) {
            continue;
        }
        KernelSigaction action{};
        action.handler =
            (sig == SIGTTOU || sig == SIGTTIN) ? reinterpret_cast<void*>(SIG_IGN) : reinterpret_cast<void*>(SIG_DFL);
        raw_syscall(SYS_rt_sigaction, sig, reinterpret_cast<long>(&action), 0, sizeof(unsigned long));
    }
}

// The server's threads block signals (a JVM blocks SIGQUIT in all but one),
// and a mask survives exec: the program gets an empty one.
UNIX_CHILD_SIDE void unblockSignals()
{
    unsigned long empty = 0;
    raw_syscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&empty), 0, sizeof(empty));
}

// ---- Descriptors ----

UNIX_CHILD_SIDE int dupOnto(int fd, int target)
{
    long r;
    do {
        r = raw_syscall(SYS_dup3, fd, target, 0);
    } while (r == -EINTR);
    return static_cast<int>(r);
}

UNIX_CHILD_SIDE void closeFd(int fd)
{
    raw_syscall(SYS_close, fd);
}

UNIX_CHILD_SIDE bool closeRange(unsigned first, unsigned last)
{
    if (first > last) {
        return true;
    }
    return raw_syscall(SYS_close_range, first, last, 0) == 0;
}

// Closes every descriptor from 3 up except `keep`.  close_range costs the
// same whatever the descriptor limit; without it, the open descriptors are
// listed from /proc/self/fd rather than tried one by one up to the limit.
UNIX_CHILD_SIDE void closeInheritedDescriptors(const ChildPlan* plan, int keep)
{
    bool done;
    if (keep >= 3) {
        done = closeRange(3, static_cast<unsigned>(keep) - 1) && closeRange(static_cast<unsigned>(keep) + 1, ~0U);
    } else {
        done = closeRange(3, ~0U);
    }
    if (done) {
        return;
    }
    long dir =
        raw_syscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/proc/self/fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        char entries[1024];
        long n;
        while ((n = raw_syscall(SYS_getdents64, dir, reinterpret_cast<long>(entries), sizeof(entries))) > 0) {
            for (long offset = 0; offset < n;) {
                // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
                auto reclen = *reinterpret_cast<unsigned short*>(entries + offset + 16);
                const char* name = entries + offset + 19;
                int fd = 0;
                bool numeric = name[0] != '\0';
                for (const char* c = name; *c != '\0'; c++) {
                    if (*c < '0' || *c > '9') {
                        numeric = false;
                        break;
                    }
                    fd = fd * 10 + (*c - '0');
                }
                if (numeric && fd >= 3 && fd != keep && fd != dir) {
                    closeFd(fd);
                }
                offset += reclen;
            }
        }
        closeFd(static_cast<int>(dir));
        return;
    }
    for (int fd = 3; fd < plan->openMax; fd++) {
        if (fd != keep) {
            closeFd(fd);
        }
    }
}

// ---- Exec ----

UNIX_CHILD_SIDE int execResult(int err)
{
    switch (err) {
    case ENOENT:
    case EACCES:
    case ENOEXEC:
    case EPERM:
        return PROC_INVALID_EXECUTABLE;
    case ENFILE:
    case EMFILE:
        return PROC_OUT_OF_FILE_HANDLES;
    case ENOMEM:
        return PROC_OUT_OF_MEMORY;
    default:
        return PROC_SYSTEM_ERR;
    }
}

// Tries the prepared candidates as execvp would: a candidate that does not
// exist or may not be run sends the search on; a script without #! runs
// through /bin/sh.  Returns the errno of the search when nothing ran.
UNIX_CHILD_SIDE int execSearch(ChildPlan* plan)
{
    int err = ENOENT;
    bool sawAccessDenied = false;
    for (char** path = plan->execPaths; *path != nullptr; path++) {
        long r = raw_syscall(SYS_execve, reinterpret_cast<long>(*path), reinterpret_cast<long>(plan->argv),
                             reinterpret_cast<long>(plan->envp));
        err = static_cast<int>(-r);
        if (err == ENOEXEC) {
            plan->shellArgv[1] = *path;
            raw_syscall(SYS_execve, reinterpret_cast<long>("/bin/sh"), reinterpret_cast<long>(plan->shellArgv),
                        reinterpret_cast<long>(plan->envp));
            return ENOEXEC;
        }
        if (err == EACCES) {
            sawAccessDenied = true;
            continue;
        }
        if (err == ENOENT || err == ENOTDIR || err == ESTALE || err == ENODEV || err == ETIMEDOUT) {
            continue;
        }
        return err;
    }
    return sawAccessDenied ? EACCES : err;
}

UNIX_CHILD_SIDE void logProgram(const ChildPlan* plan)
{
    if (plan->logEnabled == 0) {
        return;
    }
    if (plan->executable != nullptr) {
        unix_childLog(plan, "New process will be created from executable: [%s]\n", plan->executable);
    }
    unix_childLog(plan, "Arguments to the binary are:\n");
    for (int i = 0; plan->argv[i] != nullptr; i++) {
        unix_childLog(plan, "Executable argument [%d]: [%s]\n", i, plan->argv[i]);
    }
    if (plan->envp != nullptr) {
        unix_childLog(plan, "Environment the process sees:\n");
        for (int i = 0; plan->envp[i] != nullptr && plan->envp[i][0] != '\0'; i++) {
            unix_childLog(plan, "Environment entry [%d]: [%s]\n", i, plan->envp[i]);
        }
    }
}

UNIX_CHILD_SIDE void reportAndExit(const ChildPlan* plan, int result, int sysErr)
{
    if (plan->outcomeFd != -1) {
        int report[2] = {sysErr, result};
        raw_syscall(SYS_write, plan->outcomeFd, reinterpret_cast<long>(report), sizeof(report));
    }
    for (;;) {
        raw_syscall(SYS_exit_group, 255);
    }
}

// ---- Credentials ----

// Supplementary groups go before the group changes when running as root, so
// the program does not inherit the server's.
UNIX_CHILD_SIDE int dropSupplementaryGroups(const ChildPlan* plan, int* sysErr)
{
    long euid = raw_syscall(SYS_geteuid);
    if (euid == 0) {
        unix_childLog(plan, "Trying to clear off supplamental groups so we don't inherit groups from the parent.\n");
        long r = raw_syscall(SYS_setgroups, 0, 0);
        if (r < 0) {
            *sysErr = static_cast<int>(-r);
            unix_childLog(plan, "Failed to clear off any supplamental groups from the parent.\n");
            return PROC_INVALID_GROUP;
        }
    } else {
        unix_childLog(plan, "Not root.  EUID was: [%d]\n", static_cast<int>(euid));
    }
    return PROC_SUCCESS;
}

UNIX_CHILD_SIDE int setGroupId(const ChildPlan* plan, unsigned int gid, int* sysErr)
{
    long r = raw_syscall(SYS_setgid, gid);
    if (r < 0) {
        *sysErr = static_cast<int>(-r);
        unix_childLog(plan, "Failed to set the group to GID: [%d]\n", static_cast<int>(gid));
        return PROC_INVALID_GROUP;
    }
    return PROC_SUCCESS;
}

UNIX_CHILD_SIDE int setupGroupAndUser(const ChildPlan* plan, int* sysErr)
{
    int result;
    if (plan->group != nullptr) {
        unix_childLog(plan, "Attempting to configure process run as OS group: [%s]\n", plan->group);
        if ((result = dropSupplementaryGroups(plan, sysErr)) != PROC_SUCCESS) {
            return result;
        }
        if (plan->groupFound == 0) {
            *sysErr = 0;
            unix_childLog(plan, "Failed to look up group: [%s]\n", plan->group);
            return PROC_INVALID_GROUP;
        }
        unix_childLog(plan, "Configuring process GID to [%d]\n", static_cast<int>(plan->groupGid));
        if ((result = setGroupId(plan, plan->groupGid, sysErr)) != PROC_SUCCESS) {
            return result;
        }
    } else if (plan->user != nullptr && plan->forceGroup != 0) {
        unix_childLog(plan, "Forcing group re-assignment to user's primary group.\n");
        if ((result = dropSupplementaryGroups(plan, sysErr)) != PROC_SUCCESS) {
            return result;
        }
        unix_childLog(plan, "Trying to set configure process OS group assignment as primary group of user: [%s]\n",
                      plan->user);
        if (plan->userFound == 0) {
            *sysErr = 0;
            unix_childLog(plan, "Failed user lookup of userid: [%s]\n", plan->user);
            return PROC_INVALID_USERNAME;
        }
        unix_childLog(plan, "Configuring process GID to [%d], the primary group GID of user: [%s]\n",
                      static_cast<int>(plan->userGid), plan->user);
        if ((result = setGroupId(plan, plan->userGid, sysErr)) != PROC_SUCCESS) {
            return result;
        }
    }
    if (plan->user != nullptr) {
        unix_childLog(plan, "Trying to set user to: [%s]\n", plan->user);
        if (plan->userFound == 0) {
            *sysErr = 0;
            unix_childLog(plan, "Failed user lookup of userid: [%s]\n", plan->user);
            return PROC_INVALID_USERNAME;
        }
        long r = raw_syscall(SYS_setuid, plan->userUid);
        if (r < 0) {
            *sysErr = static_cast<int>(-r);
            unix_childLog(plan, "Failed to set the process user association to UID: [%d]\n",
                          static_cast<int>(plan->userUid));
            return PROC_INVALID_USERNAME;
        }
    }
    return PROC_SUCCESS;
}

// ---- Standard streams ----

constexpr size_t PATH_BUFFER_SIZE = 1026;

UNIX_CHILD_SIDE int redirectStdinToNull(const ChildPlan* plan, int* sysErr)
{
    long fd = raw_syscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/dev/null"), O_RDONLY, 0444);
    if (fd < 0) {
        unix_childLog(
            plan,
            "Failed to open /dev/null for stdin (since no redirect was specified).  The reported error (errno) "
            "was: [%d].  Closing stdin instead.\n",
            static_cast<int>(-fd));
        while (raw_syscall(SYS_close, 0) == -EINTR) {
        }
        return PROC_SUCCESS;
    }
    unix_childLog(plan, "Opened /dev/null as readonly for stdin redirect.  Attempting to assign it to stdin.\n");
    if (fd != 0) {
        int r = dupOnto(static_cast<int>(fd), 0);
        if (r < 0) {
            *sysErr = -r;
            if (-r == EMFILE || -r == ENFILE) {
                unix_childLog(plan, "Dup'ing /dev/null into stdin has failed. with EMFILE or ENFILE.\n");
                return PROC_OUT_OF_FILE_HANDLES;
            }
            unix_childLog(plan, "Dup'ing /dev/null into stdin has failed.  The handle was invalid.\n");
            return PROC_INVALID_FILE;
        }
        if (r != 0) {
            *sysErr = EBADF;
            unix_childLog(plan, "Dup'ing /dev/null into stdin has failed.  Returning system error of EBADF.\n");
            return PROC_INVALID_FILE;
        }
        closeFd(static_cast<int>(fd));
    }
    unix_childLog(plan, "Successfully assigned stdin to /dev/null.\n");
    return PROC_SUCCESS;
}

// The redirection file's path: the name itself when absolute or without a
// working directory, else the directory, a '/' when it lacks one, the name.
UNIX_CHILD_SIDE int buildPath(const ChildPlan* plan, const char* name, char* path, int* sysErr)
{
    size_t nameLength = childStrlen(name);
    if (name[0] == '/' || plan->directory == nullptr) {
        unix_childLog(plan, "Absolute filename, or working directory was null, setting the file to: [%s]\n", name);
        if (nameLength > 1024) {
            *sysErr = ENAMETOOLONG;
            return PROC_INVALID_FILE;
        }
        ChildText out{path, PATH_BUFFER_SIZE, 0};
        unix_childPutString(&out, name);
        path[out.used] = '\0';
        return PROC_SUCCESS;
    }
    unix_childLog(plan, "Relative filename, and we have a working directory.  Therefore, building absolute path\n");
    size_t dirLength = childStrlen(plan->directory);
    if (dirLength + nameLength + 1 > 1024) {
        *sysErr = ENAMETOOLONG;
        unix_childLog(plan, "Full filename failed, absolute path will exceed the maximum path size for the system.\n");
        return PROC_INVALID_FILE;
    }
    ChildText out{path, PATH_BUFFER_SIZE, 0};
    unix_childPutString(&out, plan->directory);
    unix_childLog(plan, "Total space in filename buffer is: [%d].  Space remaining free is: [%d]\n",
                  static_cast<int>(PATH_BUFFER_SIZE), static_cast<int>(PATH_BUFFER_SIZE - out.used));
    if (dirLength == 0 || plan->directory[dirLength - 1] != '/') {
        unix_childLog(plan, "Appending UNIX directory separator '/' onto base directory [%s]\n", plan->directory);
        unix_childPutChar(&out, '/');
        unix_childLog(plan, "Total space in filename buffer is: [%d].  Space remaining free is: [%d]\n",
                      static_cast<int>(PATH_BUFFER_SIZE), static_cast<int>(PATH_BUFFER_SIZE - out.used));
    }
    unix_childPutString(&out, name);
    path[out.used] = '\0';
    unix_childLog(plan, "Full filename generated succesfully.\n");
    return PROC_SUCCESS;
}

UNIX_CHILD_SIDE int redirectToFile(const ChildPlan* plan, int target, const char* entry, int* sysErr)
{
    bool truncate = entry[0] == '!';
    const char* name = truncate ? entry + 1 : entry;
    char path[PATH_BUFFER_SIZE];
    int result = buildPath(plan, name, path, sysErr);
    if (result != PROC_SUCCESS) {
        return result;
    }
    unix_childLog(plan, "Trying to open file: [%s] for use as standard descriptor: [%d]\n", path, target);
    // "!" truncates output and error only: input is read, never emptied.
    int flags = target == 0 ? O_RDONLY : (O_RDWR | O_CREAT | (truncate ? O_TRUNC : O_APPEND));
    long fd = raw_syscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), flags, 0666);
    if (fd < 0) {
        int err = static_cast<int>(-fd);
        *sysErr = err;
        // A directory named as a file is as unusable as a missing one.
        if (err == EACCES || err == ENOENT || err == EISDIR) {
            return PROC_INVALID_FILE;
        }
        return (err == EMFILE || err == ENFILE) ? PROC_OUT_OF_FILE_HANDLES : PROC_SYSTEM_ERR;
    }
    if (fd == target) {
        return PROC_SUCCESS;
    }
    int r = dupOnto(static_cast<int>(fd), target);
    if (r < 0) {
        *sysErr = -r;
        return (-r == EMFILE || -r == ENFILE) ? PROC_OUT_OF_FILE_HANDLES : PROC_INVALID_FILE;
    }
    if (r != target) {
        *sysErr = EBADF;
        closeFd(r);
        return PROC_INVALID_FILE;
    }
    closeFd(static_cast<int>(fd));
    return PROC_SUCCESS;
}

UNIX_CHILD_SIDE int setupChildStdHandles(ChildPlan* plan, int* sysErr)
{
    if (plan->haveFiles == 0) {
        return PROC_SUCCESS;
    }
    for (int target = 0; target < 3; target++) {
        const char* entry = plan->files[target];
        int result = PROC_SUCCESS;
        if (entry == nullptr) {
            if (target == 0) {
                result = redirectStdinToNull(plan, sysErr);
            }
        } else {
            result = redirectToFile(plan, target, entry, sysErr);
        }
        if (result != PROC_SUCCESS) {
            return result;
        }
    }
    *sysErr = 0;
    return PROC_SUCCESS;
}

UNIX_CHILD_SIDE int setupChildContext(ChildPlan* plan, int* sysErr)
{
    // Priority is absolute on a 0 to 39 scale, 20 being normal: the program's
    // niceness becomes priority - 20.  The kernel reports 20 - niceness.
    long reported = raw_syscall(SYS_getpriority, PRIO_PROCESS, 0);
    if (reported < 0) {
        *sysErr = static_cast<int>(-reported);
        unix_childLog(plan, "Trying to set process priority to computed value of: [%d]\n", plan->priority - 20);
        return PROC_INVALID_PRIORITY;
    }
    int niceness = 20 - static_cast<int>(reported);
    int increment = plan->priority - (niceness + 20);
    unix_childLog(plan, "Trying to set process priority to computed value of: [%d]\n", increment);
    int wanted = niceness + increment;
    wanted = wanted < -20 ? -20 : (wanted > 19 ? 19 : wanted);
    // As with nice(), a change the process may not make is not an error.
    raw_syscall(SYS_setpriority, PRIO_PROCESS, 0, wanted);

    raw_syscall(SYS_umask, plan->mask);

    int result = setupGroupAndUser(plan, sysErr);
    if (result != PROC_SUCCESS) {
        return result;
    }

    if (plan->directory != nullptr) {
        long r = raw_syscall(SYS_chdir, reinterpret_cast<long>(plan->directory));
        if (r < 0) {
            *sysErr = static_cast<int>(-r);
            unix_childLog(plan, "Working directory check failed for directory: [%s]\n", plan->directory);
            return PROC_INVALID_DIRECTORY;
        }
    }

    unix_childLog(plan, "Trying to set process group to: [%d]\n", plan->processGroup);
    long r = raw_syscall(SYS_setpgid, 0, plan->processGroup);
    if (r < 0) {
        *sysErr = static_cast<int>(-r);
        unix_childLog(plan, "Failed setting of process group to PGID: [%d]\n", plan->processGroup);
        return PROC_INVALID_PROCESS_GROUP;
    }

    return setupChildStdHandles(plan, sysErr);
}

} // namespace

// The exported names of the two set-up steps.  The child itself calls the
// steps above directly: a call to an exported name goes through the PLT.
UNIX_CHILD_SIDE int SetupChildStdHandles(ChildPlan* plan, int* sysErr)
{
    return setupChildStdHandles(plan, sysErr);
}

UNIX_CHILD_SIDE int SetupChildContext(ChildPlan* plan, int* sysErr)
{
    return setupChildContext(plan, sysErr);
}

UNIX_CHILD_SIDE int unix_childMain(void* arg)
{
    auto* plan = static_cast<ChildPlan*>(arg);
    plan->logPid = static_cast<int>(raw_syscall(SYS_getpid));
    resetSignals();

    // The descriptors the child inherited go first, before any step that can
    // block (a redirection FIFO without a writer, a hung network directory):
    // among them are the exec-outcome pipes of spawns that other threads have
    // under way, whose ends must not stay open in a child that is stuck.
    if (plan->outcomeFd != -1) {
        raw_syscall(SYS_fcntl, plan->outcomeFd, F_SETFD, FD_CLOEXEC);
    }
    closeInheritedDescriptors(plan, plan->outcomeFd);

    int sysErr = 0;
    int result = setupChildContext(plan, &sysErr);
    if (result == PROC_SUCCESS) {
        if (plan->detached == 0) {
            unix_childLog(plan, "Past SetupChildContext.  Return value was: [%d] and sysErr was: [%d]\n", result,
                          sysErr);
        }
        logProgram(plan);
        unblockSignals();
        sysErr = execSearch(plan);
        result = execResult(sysErr);
    }
    if (plan->detached == 0) {
        unix_childLog(plan,
                      "Past SetupChildContext and execvp block.  An error occurred.  Return value is: [%d] and sysErr "
                      "is: [%d]\n",
                      result, sysErr);
    }
    reportAndExit(plan, result, sysErr);
    return 0;
}

namespace {

// Sends the grandchild's pid to the server, with its pidfd (SCM_RIGHTS)
// when there is one.
UNIX_CHILD_SIDE void sendGrandchild(const ChildPlan* plan, int pid, int pidfd)
{
    struct iovec data;
    data.iov_base = &pid;
    data.iov_len = sizeof(pid);
    union {
        char buffer[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    struct msghdr message;
    message.msg_name = nullptr;
    message.msg_namelen = 0;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = nullptr;
    message.msg_controllen = 0;
    message.msg_flags = 0;
    if (pidfd >= 0) {
        message.msg_control = control.buffer;
        message.msg_controllen = sizeof(control.buffer);
        struct cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        *reinterpret_cast<int*>(CMSG_DATA(header)) = pidfd;
    }
    while (raw_syscall(SYS_sendmsg, plan->pidPipe[1], reinterpret_cast<long>(&message), MSG_NOSIGNAL) == -EINTR) {
    }
}

} // namespace

// The intermediate child of a detached spawn: starts the program as its own
// child, sends the program's pid to the server and ends, so that the program
// is adopted by init (or by the server, when it is pid 1 or a subreaper) and
// is not the server's child to begin with.  When the clone fails this
// process reports nothing and ends.
//
// How the server pins a process that is not its child, race-free: the
// grandchild is cloned with CLONE_PIDFD, so a pidfd names it from its first
// instant, and that pidfd travels to the server over the pid channel (a
// Unix socket) as SCM_RIGHTS.  Opening one by pid in the server instead
// would race with the grandchild's end: once reaped, its pid may name
// another process.  Without pidfds (before Linux 5.2) the server pins the
// start time, which is only sound while the pid cannot pass on: so SIGCHLD
// is set back to its default here (an ignored SIGCHLD, inherited from the
// server, would make the kernel reap the grandchild at once), and this
// process, the grandchild's parent, ends only once the server has pinned it.
UNIX_CHILD_SIDE int unix_intermediateMain(void* arg)
{
    auto* plan = static_cast<ChildPlan*>(arg);
    // The server's end of the pid channel is closed before the grandchild
    // copies our descriptors, so only the server holds it.
    closeFd(plan->pidPipe[0]);
    closeFd(plan->outcomeReadFd);
    KernelSigaction action{};
    action.handler = reinterpret_cast<void*>(SIG_DFL);
    raw_syscall(SYS_rt_sigaction, SIGCHLD, reinterpret_cast<long>(&action), 0, sizeof(unsigned long));
    int pidfd = -1;
    unsigned long flags = CLONE_VM | SIGCHLD | (plan->withPidfd != 0 ? CLONE_PIDFD : 0);
    long grandchild = raw_clone(flags, plan->grandchildStackTop, unix_childMain, plan, &pidfd);
    closeFd(plan->outcomeFd);
    if (grandchild > 0) {
        sendGrandchild(plan, static_cast<int>(grandchild), pidfd);
        // While we live, the grandchild is our child and nobody else can
        // reap it, so its pid cannot pass to another process: we end only
        // once the server has pinned it and says so (or has gone).
        char done = 0;
        while (raw_syscall(SYS_read, plan->pidPipe[1], reinterpret_cast<long>(&done), 1) == -EINTR) {
        }
    }
    closeFd(plan->pidPipe[1]);
    for (;;) {
        raw_syscall(SYS_exit_group, grandchild > 0 ? 0 : 255);
    }
    return 0;
}
