// Per-processor statistics as the "cpu_stat" kernel statistics carry them.
#ifndef SUNOS_SYS_SYSINFO_H
#define SUNOS_SYS_SYSINFO_H

#include <stdint.h>

#define CPU_IDLE 0
#define CPU_USER 1
#define CPU_KERNEL 2
#define CPU_WAIT 3
#define CPU_STATES 4

#define W_IO 0
#define W_SWAP 1
#define W_PIO 2
#define W_STATES 3

typedef struct cpu_sysinfo {
    uint32_t cpu[CPU_STATES]; // ticks in each processor state
    uint32_t wait[W_STATES];  // ticks in each wait state
    uint32_t bread;
    uint32_t bwrite;
    uint32_t lread;
    uint32_t lwrite;
    uint32_t phread;
    uint32_t phwrite;
    uint32_t pswitch;
    uint32_t trap;
    uint32_t intr;
    uint32_t syscall;
    uint32_t sysread;
    uint32_t syswrite;
    uint32_t sysfork;
    uint32_t sysvfork;
    uint32_t sysexec;
} cpu_sysinfo_t;

typedef struct cpu_syswait {
    int32_t iowait;
    int32_t swap;
    int32_t physio;
} cpu_syswait_t;

typedef struct cpu_vminfo {
    uint32_t pgrec;
    uint32_t pgfrec;
    uint32_t pgin;
    uint32_t pgpgin;
    uint32_t pgout;
    uint32_t pgpgout;
} cpu_vminfo_t;

typedef struct cpu_stat {
    uint32_t __cpu_stat_lock[2];
    cpu_sysinfo_t cpu_sysinfo;
    cpu_syswait_t cpu_syswait;
    cpu_vminfo_t cpu_vminfo;
} cpu_stat_t;

#endif
