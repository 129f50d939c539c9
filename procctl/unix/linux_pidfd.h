// Process file descriptors: a handle on one process that stays valid, and
// never names another process, after the pid is reused.
//
// The constants are the kernel's; older C library headers lack them.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3 // waitid on a pidfd (Linux 5.4)
#endif

// PIDFD_GET_INFO (Linux 6.13) and its exit information (Linux 6.15): the
// wait status of a process that has ended and been reaped, by whoever reaped
// it.  The structure may grow; the kernel fills what the caller's size holds.
struct unix_pidfd_info {
    uint64_t mask;
    uint64_t cgroupid;
    uint32_t pid;
    uint32_t tgid;
    uint32_t ppid;
    uint32_t ruid;
    uint32_t rgid;
    uint32_t euid;
    uint32_t egid;
    uint32_t suid;
    uint32_t sgid;
    uint32_t fsuid;
    uint32_t fsgid;
    int32_t exit_code;
};
static_assert(sizeof(unix_pidfd_info) == 64, "the kernel's first version of struct pidfd_info");

constexpr unsigned long UNIX_PIDFD_GET_INFO = _IOWR(0xFF, 11, unix_pidfd_info);
constexpr uint64_t UNIX_PIDFD_INFO_EXIT = 1ULL << 3;

inline int unix_pidfd_open(int pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

inline int unix_pidfd_send_signal(int pidfd, int sig)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// waitid on a pidfd (Linux 5.4), repeated while interrupted.  info is
// cleared first, so that its si_pid stays 0 when WNOHANG finds nothing.
inline int unix_pidfd_wait(int pidfd, siginfo_t* info, int options)
{
    int rc;
    do {
        memset(info, 0, sizeof(*info));
        rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), info, options);
    } while (rc == -1 && errno == EINTR);
    return rc;
}
