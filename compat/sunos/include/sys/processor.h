// Processor state queries: p_online and processor_info.
#ifndef SUNOS_SYS_PROCESSOR_H
#define SUNOS_SYS_PROCESSOR_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int processorid_t;

#define P_OFFLINE 0x0001
#define P_ONLINE 0x0002
#define P_STATUS 0x0003
#define P_FAULTED 0x0004
#define P_POWEROFF 0x0005
#define P_NOINTR 0x0006
#define P_SPARE 0x0007

#define PI_TYPELEN 16
#define PI_FPUTYPE 32

typedef struct {
    int pi_state;
    char pi_processor_type[PI_TYPELEN];
    char pi_fputypes[PI_FPUTYPE];
    int pi_clock; // MHz
} processor_info_t;

int p_online(processorid_t processorid, int flag);
int processor_info(processorid_t processorid, processor_info_t* infop);

#ifdef __cplusplus
}
#endif

#endif
