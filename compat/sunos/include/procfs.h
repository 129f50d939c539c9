// Process information files under /proc/<pid>/: the psinfo_t record in the
// 32-bit layout (336 bytes).
#ifndef SUNOS_PROCFS_H
#define SUNOS_PROCFS_H

#include <stddef.h>
#include <stdint.h>

#define PRFNSZ 16
#define PRARGSZ 80

typedef struct timestruc32 {
    int32_t tv_sec;
    int32_t tv_nsec;
} timestruc32_t;

typedef struct lwpsinfo32 {
    int32_t pr_flag;
    int32_t pr_lwpid;
    uint32_t pr_addr;
    uint32_t pr_wchan;
    char pr_stype;
    char pr_state;
    char pr_sname;
    char pr_nice;
    int16_t pr_syscall;
    char pr_oldpri;
    char pr_cpu;
    int32_t pr_pri;
    uint16_t pr_pctcpu;
    uint16_t pr_pad;
    timestruc32_t pr_start;
    timestruc32_t pr_time;
    char pr_clname[8];
    char pr_name[PRFNSZ];
    int32_t pr_onpro;
    int32_t pr_bindpro;
    int32_t pr_bindpset;
    int32_t pr_lgrp;
    int32_t pr_filler[4];
} lwpsinfo32_t;

typedef struct psinfo {
    int32_t pr_flag;
    int32_t pr_nlwp;
    int32_t pr_pid;
    int32_t pr_ppid;
    int32_t pr_pgid;
    int32_t pr_sid;
    uint32_t pr_uid;
    uint32_t pr_euid;
    uint32_t pr_gid;
    uint32_t pr_egid;
    uint32_t pr_addr;
    uint32_t pr_size;   // size of the process image in kilobytes
    uint32_t pr_rssize; // resident set size in kilobytes
    uint32_t pr_pad1;
    uint32_t pr_ttydev;
    uint16_t pr_pctcpu;
    uint16_t pr_pctmem;
    timestruc32_t pr_start;
    timestruc32_t pr_time;
    timestruc32_t pr_ctime;
    char pr_fname[PRFNSZ];
    char pr_psargs[PRARGSZ];
    int32_t pr_wstat;
    int32_t pr_argc;
    uint32_t pr_argv;
    uint32_t pr_envp;
    char pr_dmodel;
    char pr_pad2[3];
    int32_t pr_taskid;
    int32_t pr_projid;
    int32_t pr_nzomb;
    int32_t pr_poolid;
    int32_t pr_zoneid;
    int32_t pr_contract;
    int32_t pr_filler[1];
    lwpsinfo32_t pr_lwp;
} psinfo_t;

#define PR_MODEL_ILP32 1
#define PR_MODEL_LP64 2

#ifdef __cplusplus
static_assert(sizeof(psinfo_t) == 336, "psinfo_t has the 32-bit layout");
static_assert(offsetof(psinfo_t, pr_size) == 44, "pr_size at offset 44");
static_assert(offsetof(psinfo_t, pr_rssize) == 48, "pr_rssize at offset 48");
#endif

#endif
