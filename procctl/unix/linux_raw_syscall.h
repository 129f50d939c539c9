// System calls made without the C library, for the child side of a spawn.
//
// The child of a spawn runs in the server's memory on the thread's own TLS,
// so it must not write errno or take any C library lock.  These helpers
// return the kernel's answer as it is: a value >= 0, or -errno.
#pragma once

#include <sys/syscall.h>

#define UNIX_CHILD_SIDE __attribute__((no_sanitize("address", "undefined"), noinline))

#if defined(__x86_64__)
static inline long raw_syscall(long n, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0, long a5 = 0, long a6 = 0)
{
    long ret;
    register long r10 __asm__("r10") = a4;
    register long r8 __asm__("r8") = a5;
    register long r9 __asm__("r9") = a6;
    __asm__ volatile("syscall"
                     : "=a"(ret)
                     : "a"(n), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return ret;
}
#elif defined(__aarch64__)
static inline long raw_syscall(long n, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0, long a5 = 0, long a6 = 0)
{
    register long x8 __asm__("x8") = n;
    register long x0 __asm__("x0") = a1;
    register long x1 __asm__("x1") = a2;
    register long x2 __asm__("x2") = a3;
    register long x3 __asm__("x3") = a4;
    register long x4 __asm__("x4") = a5;
    register long x5 __asm__("x5") = a6;
    __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5) : "memory", "cc");
    return x0;
}
#else
#error "raw system calls are defined for x86_64 and aarch64 only"
#endif
