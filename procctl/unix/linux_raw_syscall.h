// System calls made without the C library, for the child side of a spawn.
//
// The child of a spawn runs in the server's memory on the thread's own TLS,
// so it must not write errno or take any C library lock, and it must not go
// through the dynamic linker (a PLT entry may run the symbol resolver).  These
// helpers are always inlined and return the kernel's answer as it is: a value
// >= 0, or -errno.
#pragma once

#include <sys/syscall.h>

// Code that runs on the child's side: never instrumented, never inlined into
// the parent's code, and kept in a section of its own, which a test checks
// for branches to anything outside it.
#define UNIX_CHILD_SIDE __attribute__((no_sanitize("address", "undefined"), noinline, section("procctl_child")))
#define UNIX_CHILD_INLINE static inline __attribute__((always_inline))

#if defined(__x86_64__)
UNIX_CHILD_INLINE long raw_syscall(long n, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0, long a5 = 0, long a6 = 0)
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

// Starts fn(arg) in a new process on `stackTop` (16-byte aligned) with the
// clone flags; the new process exits with fn's result.  The child's pid, or
// -errno.  With CLONE_PIDFD the kernel stores the child's pidfd in *pidfd
// before the child runs.  Unlike the C library's clone() this is no call into another
// object, and it leaves errno alone.  fn and arg travel in registers that the
// system call keeps (r12, r13); the child starts with them on its new stack.
// The kernel writes *pidfd, which the linter cannot see.
// NOLINTNEXTLINE(readability-non-const-parameter)
UNIX_CHILD_INLINE long raw_clone(unsigned long flags, void* stackTop, int (*fn)(void*), void* arg, int* pidfd)
{
    long ret;
    register long r10 __asm__("r10") = 0; // child tid
    register long r8 __asm__("r8") = 0;   // tls
    register int (*r12)(void*) __asm__("r12") = fn;
    register void* r13 __asm__("r13") = arg;
    __asm__ volatile("syscall\n\t"
                     "test %%rax, %%rax\n\t"
                     "jnz 1f\n\t"
                     "xor %%ebp, %%ebp\n\t"
                     "mov %%r13, %%rdi\n\t"
                     "call *%%r12\n\t"
                     "mov %%eax, %%edi\n\t"
                     "mov %[exitCall], %%eax\n\t"
                     "syscall\n\t"
                     "hlt\n"
                     "1:"
                     : "=a"(ret)
                     : "a"(SYS_clone), "D"(flags), "S"(stackTop), "d"(pidfd), "r"(r10), "r"(r8), "r"(r12),
                       "r"(r13), [exitCall] "i"(SYS_exit)
                     : "rcx", "r11", "memory");
    return ret;
}
#elif defined(__aarch64__)
UNIX_CHILD_INLINE long raw_syscall(long n, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0, long a5 = 0, long a6 = 0)
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

// As above; the kernel keeps every register but x0 across the call, so fn
// and arg travel in x9 and x10.
UNIX_CHILD_INLINE long raw_clone(unsigned long flags, void* stackTop, int (*fn)(void*), void* arg, int* pidfd)
{
    register long x8 __asm__("x8") = SYS_clone;
    register long x0 __asm__("x0") = static_cast<long>(flags);
    register void* x1 __asm__("x1") = stackTop;
    register int* x2 __asm__("x2") = pidfd; // parent tid, or the pidfd
    register long x3 __asm__("x3") = 0;     // tls
    register long x4 __asm__("x4") = 0;     // child tid
    register int (*x9)(void*) __asm__("x9") = fn;
    register void* x10 __asm__("x10") = arg;
    register long x11 __asm__("x11") = SYS_exit;
    __asm__ volatile("svc 0\n\t"
                     "cbnz x0, 1f\n\t"
                     "mov x29, xzr\n\t"
                     "mov x0, x10\n\t"
                     "blr x9\n\t"
                     "mov x8, x11\n\t"
                     "svc 0\n"
                     "1:"
                     : "+r"(x0)
                     : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x9), "r"(x10), "r"(x11)
                     : "memory", "cc");
    return x0;
}
#else
#error "raw system calls are defined for x86_64 and aarch64 only"
#endif
