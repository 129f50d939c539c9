// p_online, processor_info, sysinfo, sysconf and getzoneid over the current source.
//
// sysconf is defined here under its own name: inside a library built on this
// emulation every sysconf call comes here first (the definition is hidden, so
// the rest of the process keeps the C library's), and a source may answer a
// value the machine would answer differently (a test's 8 KB page).
#include "compat/sunos/sunos_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/processor.h>
#include <sys/systeminfo.h>
#include <sys/utsname.h>
#include <zone.h>

extern "C" long __sysconf(int name); // the C library's sysconf

extern "C" {

int p_online(processorid_t processorid, int flag)
{
    processor_info_t info{};
    bool infoValid = false;
    int state = sunos_source().processor(processorid, &info, &infoValid);
    if (state == -1) {
        errno = EINVAL;
        return -1;
    }
    if (flag == P_STATUS) {
        return state;
    }
    // Changing a processor's state is not something the emulation does.
    errno = EPERM;
    return -1;
}

int processor_info(processorid_t processorid, processor_info_t* infop)
{
    if (infop == nullptr) {
        errno = EFAULT;
        return -1;
    }
    processor_info_t info{};
    bool infoValid = false;
    int state = sunos_source().processor(processorid, &info, &infoValid);
    if (state == -1 || !infoValid) {
        errno = EINVAL;
        return -1;
    }
    *infop = info;
    return 0;
}

int sysinfo(int command, char* buf, long count)
{
    char value[257];
    if (command == SI_PLATFORM) {
        if (!sunos_source().platformName(value, sizeof value)) {
            errno = EINVAL;
            return -1;
        }
    } else {
        utsname names{};
        if (uname(&names) != 0) {
            return -1;
        }
        const char* text = nullptr;
        switch (command) {
        case SI_SYSNAME:
            text = "SunOS";
            break;
        case SI_HOSTNAME:
            text = names.nodename;
            break;
        case SI_RELEASE:
            text = names.release;
            break;
        case SI_VERSION:
            text = names.version;
            break;
        case SI_MACHINE:
        case SI_ARCHITECTURE:
            text = names.machine;
            break;
        default:
            errno = EINVAL;
            return -1;
        }
        snprintf(value, sizeof value, "%s", text);
    }
    int needed = static_cast<int>(strlen(value)) + 1;
    if (buf != nullptr && count > 0) {
        long n = needed < count ? needed : count;
        memcpy(buf, value, static_cast<size_t>(n - 1));
        buf[n - 1] = '\0';
    }
    return needed;
}

zoneid_t getzoneid(void)
{
    // One zone: the container (or the machine) the process lives in.
    return GLOBAL_ZONEID;
}

long sysconf(int name)
{
    long value = 0;
    if (sunos_source().sysconfValue(name, &value)) {
        return value;
    }
    return __sysconf(name);
}

} // extern "C"
