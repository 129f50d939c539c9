// Process file descriptors: a handle on one process that stays valid, and
// never names another process, after the pid is reused.
#pragma once

#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

inline int unix_pidfd_open(int pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

inline int unix_pidfd_send_signal(int pidfd, int sig)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}
