// System information strings: sysinfo(SI_PLATFORM, ...) and friends.
#ifndef SUNOS_SYS_SYSTEMINFO_H
#define SUNOS_SYS_SYSTEMINFO_H

#ifdef __cplusplus
extern "C" {
#endif

#define SI_SYSNAME 1
#define SI_HOSTNAME 2
#define SI_RELEASE 3
#define SI_VERSION 4
#define SI_MACHINE 5
#define SI_ARCHITECTURE 6
#define SI_HW_SERIAL 7
#define SI_HW_PROVIDER 8
#define SI_PLATFORM 513

// Copies the value for command into buf (at most count bytes, terminated) and
// returns the size the whole value needs with its terminating NUL, or -1.
int sysinfo(int command, char* buf, long count);

#ifdef __cplusplus
}
#endif

#endif
