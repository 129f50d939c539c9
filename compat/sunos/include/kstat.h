// Kernel statistics: the chain of kstat_t entries and the named-value records.
#ifndef SUNOS_KSTAT_H
#define SUNOS_KSTAT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KSTAT_STRLEN 31

typedef int kid_t;
typedef int64_t hrtime_t;
typedef unsigned char uchar_t;
typedef unsigned int uint_t;

#define KSTAT_TYPE_RAW 0
#define KSTAT_TYPE_NAMED 1
#define KSTAT_TYPE_INTR 2
#define KSTAT_TYPE_IO 3
#define KSTAT_TYPE_TIMER 4

#define KSTAT_DATA_CHAR 0
#define KSTAT_DATA_INT32 1
#define KSTAT_DATA_UINT32 2
#define KSTAT_DATA_INT64 3
#define KSTAT_DATA_UINT64 4

typedef struct kstat {
    hrtime_t ks_crtime;
    struct kstat* ks_next;
    kid_t ks_kid;
    char ks_module[KSTAT_STRLEN];
    uchar_t ks_resv;
    int ks_instance;
    char ks_name[KSTAT_STRLEN];
    uchar_t ks_type;
    char ks_class[KSTAT_STRLEN];
    uchar_t ks_flags;
    void* ks_data;
    uint_t ks_ndata;
    size_t ks_data_size;
    hrtime_t ks_snaptime;
} kstat_t;

typedef struct kstat_named {
    char name[KSTAT_STRLEN];
    uchar_t data_type;
    union {
        char c[16];
        int32_t i32;
        uint32_t ui32;
        int64_t i64;
        uint64_t ui64;
    } value;
} kstat_named_t;

typedef struct kstat_ctl {
    kid_t kc_chain_id;
    kstat_t* kc_chain;
    int kc_kd;
} kstat_ctl_t;

kstat_ctl_t* kstat_open(void);
int kstat_close(kstat_ctl_t* kc);
kid_t kstat_read(kstat_ctl_t* kc, kstat_t* ksp, void* buf);
kstat_t* kstat_lookup(kstat_ctl_t* kc, const char* ks_module, int ks_instance, const char* ks_name);

#ifdef __cplusplus
}
#endif

#endif
