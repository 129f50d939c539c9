// The running Linux system as a Solaris source: per-processor tick counters
// from /proc/stat, free pages from /proc/meminfo, processors from sysfs and
// /proc/cpuinfo, the platform from the machine's DMI data, psinfo from
// /proc/<pid>/stat and statm, and network devices from the kernel's interface
// list (device NAME with PPA n is the interface NAMEn).
//
// Inside a container (control groups with CPU or memory limits) the source
// shows what a Solaris zone with a processor set, a CPU cap and a memory cap
// shows: only the processors the limits allow, per-processor counters made
// from the container's usage counter against its allowance, a "caps" kstat
// with the cap in percent of one processor, and free and physical memory
// within the memory limit.
#include "common/linux/cgroup.h"
#include "compat/sunos/container_view.h"
#include "compat/sunos/linux_parse.h"
#include "compat/sunos/sunos_source.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <net/if.h>
#include <sched.h>
#include <sys/dlpi.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <zone.h>

namespace {

constexpr size_t procStatSize = size_t{256} * 1024;
constexpr int maxCpus = 4096;
// Processors a limited container shows at most (a cpu_set_t's worth).
constexpr int maxVisible = CPU_SETSIZE;

uint32_t low32(uint64_t v)
{
    return static_cast<uint32_t>(v);
}

kstat_named_t named(const char* name, uint64_t value)
{
    kstat_named_t n{};
    snprintf(n.name, sizeof n.name, "%s", name);
    n.data_type = KSTAT_DATA_UINT64;
    n.value.ui64 = value;
    return n;
}

// The first line of a small file, without its newline; false when unreadable or empty.
bool readLine(const char* path, char* buffer, size_t size)
{
    if (sunos_read_file(path, buffer, size) <= 0) {
        return false;
    }
    buffer[strcspn(buffer, "\n")] = '\0';
    return buffer[0] != '\0';
}

// The processors a limited container shows: the first allowance.processors
// ids of the affinity mask. Answers how many were stored (at most max).
int visibleProcessors(const CpuAllowance& allowance, int* ids, int max)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 0;
    }
    int count = 0;
    for (int id = 0; id < CPU_SETSIZE && count < allowance.processors && count < max; id++) {
        if (CPU_ISSET(id, &set)) {
            ids[count++] = id;
        }
    }
    return count;
}

// The CPU counters of the container, with the idle time it left of its
// allowance; one set per library, shared by every caller's state array.
std::mutex containerLock;
ContainerCpuClock containerClock;

class LiveSource final : public SunosSource {
  public:
    bool kstatChain(KstatBuilder& chain) override
    {
        CgroupReader* reader = cgroupLiveReader();
        CgroupFigures figures{};
        CpuAllowance allowance = liveCpuAllowance(reader, &figures);
        int64_t usage = allowance.cpuLimited ? cgroupCpuUsage(reader) : -1;
        if (usage >= 0) {
            return containerChain(chain, allowance, usage);
        }
        auto* text = static_cast<char*>(malloc(procStatSize));
        auto* cpus = static_cast<LinuxCpuTicks*>(malloc(sizeof(LinuxCpuTicks) * maxCpus));
        bool ok = text != nullptr && cpus != nullptr && sunos_read_file("/proc/stat", text, procStatSize) > 0;
        int n = ok ? parseProcStatCpus(text, cpus, maxCpus) : 0;
        for (int i = 0; ok && i < n; i++) {
            cpu_stat_t stat{};
            const LinuxCpuTicks& t = cpus[i];
            solarisCpuStates(&t, stat.cpu_sysinfo.cpu);
            stat.cpu_sysinfo.wait[W_IO] = low32(t.iowait);
            char name[KSTAT_STRLEN];
            snprintf(name, sizeof name, "cpu_stat%d", t.id);
            ok = chain.add("cpu_stat", t.id, name, KSTAT_TYPE_RAW, &stat, sizeof stat, 1, false);
        }
        free(cpus);
        if (ok) {
            // Limits without a usage counter still cap the server's own CPU.
            ok =
                addMisc(chain, n) && addSystemPages(chain, text) && (!allowance.cpuLimited || addCap(chain, allowance));
        }
        free(text);
        return ok;
    }

    bool sysconfValue(int name, long* value) override
    {
        if (name != _SC_NPROCESSORS_ONLN && name != _SC_NPROCESSORS_CONF && name != _SC_PHYS_PAGES) {
            return false;
        }
        CgroupReader* reader = cgroupLiveReader();
        if (name == _SC_PHYS_PAGES) {
            // The machine's memory, or the memory limit when that is smaller.
            CgroupFigures figures{};
            cgroupRead(reader, &figures);
            long pageSize = __sysconf(_SC_PAGESIZE);
            long machine = __sysconf(_SC_PHYS_PAGES);
            if (figures.memoryLimit < 0 || pageSize <= 0 || figures.memoryLimit / pageSize >= machine) {
                return false;
            }
            *value = static_cast<long>(figures.memoryLimit / pageSize);
            return true;
        }
        CgroupFigures figures{};
        CpuAllowance allowance = liveCpuAllowance(reader, &figures);
        if (!allowance.cpuLimited) {
            return false;
        }
        *value = allowance.processors;
        return true;
    }

    int processor(processorid_t id, processor_info_t* info, bool* infoValid) override
    {
        CgroupFigures figures{};
        CpuAllowance allowance = liveCpuAllowance(cgroupLiveReader(), &figures);
        if (allowance.cpuLimited && !isVisible(allowance, id)) {
            return -1; // outside the container's processor set
        }
        char path[128];
        snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%d", id);
        struct stat st {};
        if (id < 0 || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) {
            return -1;
        }
        // A processor without an "online" file (usually the boot processor)
        // cannot be taken offline, so it is online.
        char line[32];
        snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%d/online", id);
        int state = readLine(path, line, sizeof line) && line[0] == '0' ? P_OFFLINE : P_ONLINE;

        *info = processor_info_t{};
        info->pi_state = state;
        utsname names{};
        if (uname(&names) == 0) {
            snprintf(info->pi_processor_type, sizeof info->pi_processor_type, "%s", names.machine);
        }
        snprintf(info->pi_fputypes, sizeof info->pi_fputypes, "%s", "fpu");
        info->pi_clock = clockMhz(id);
        *infoValid = true;
        return state;
    }

    bool platformName(char* buffer, size_t size) override
    {
        char vendor[128];
        char product[128];
        if (readLine("/sys/class/dmi/id/sys_vendor", vendor, sizeof vendor) &&
            readLine("/sys/class/dmi/id/product_name", product, sizeof product)) {
            snprintf(buffer, size, "%s,%s", vendor, product);
            return true;
        }
        utsname names{};
        if (uname(&names) != 0) {
            return false;
        }
        snprintf(buffer, size, "%s", names.machine);
        return true;
    }

    int psinfo(pid_t pid, psinfo_t* info, size_t* length) override
    {
        char path[64];
        char text[4096];
        LinuxProcessStat stat{};
        uint64_t sizePages = 0;
        uint64_t residentPages = 0;
        snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
        if (sunos_read_file(path, text, sizeof text) <= 0 || !parseProcessStat(text, &stat)) {
            return ENOENT;
        }
        snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid));
        if (sunos_read_file(path, text, sizeof text) <= 0 || !parseStatm(text, &sizePages, &residentPages)) {
            return ENOENT;
        }
        uint64_t pageKb = static_cast<uint64_t>(getpagesize()) / 1024;

        *info = psinfo_t{};
        info->pr_nlwp = static_cast<int32_t>(stat.numThreads);
        info->pr_pid = stat.pid;
        info->pr_ppid = stat.ppid;
        info->pr_pgid = stat.pgrp;
        info->pr_sid = stat.session;
        snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
        struct stat owner {};
        if (::stat(path, &owner) == 0) {
            info->pr_uid = info->pr_euid = owner.st_uid;
            info->pr_gid = info->pr_egid = owner.st_gid;
        }
        info->pr_size = clamp32(sizePages * pageKb);
        info->pr_rssize = clamp32(residentPages * pageKb);
        info->pr_ttydev = static_cast<uint32_t>(stat.ttyNr);
        long hz = sysconf(_SC_CLK_TCK);
        if (hz > 0) {
            info->pr_start.tv_sec = static_cast<int32_t>(bootTime() + static_cast<long long>(stat.startTicks) / hz);
            info->pr_start.tv_nsec =
                static_cast<int32_t>((static_cast<long long>(stat.startTicks) % hz) * (1000000000 / hz));
        }
        memcpy(info->pr_fname, stat.comm, sizeof info->pr_fname - 1);
        snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
        long n = sunos_read_file(path, text, sizeof text);
        for (long i = 0; i < n && i < PRARGSZ - 1; i++) {
            info->pr_psargs[i] = text[i] == '\0' ? ' ' : text[i];
        }
        info->pr_dmodel = sizeof(void*) == 8 ? PR_MODEL_LP64 : PR_MODEL_ILP32;
        info->pr_lwp.pr_state = stat.state;
        info->pr_lwp.pr_sname = stat.state;
        *length = sizeof(psinfo_t);
        return 0;
    }

    int linkOpen(const char* device) override
    {
        // The device exists when some interface is named for it with a PPA.
        struct if_nameindex* names = if_nameindex();
        if (names == nullptr) {
            return ENOENT;
        }
        size_t length = strlen(device);
        bool found = false;
        for (struct if_nameindex* p = names; p->if_index != 0 && !found; p++) {
            const char* rest = p->if_name + length;
            if (strncmp(p->if_name, device, length) == 0 && *rest != '\0' &&
                strspn(rest, "0123456789") == strlen(rest)) {
                found = true;
            }
        }
        if_freenameindex(names);
        return found ? 0 : ENOENT;
    }

    DlpiReply linkAttach(const char* device, uint32_t ppa) override
    {
        char name[IFNAMSIZ];
        if (!interfaceName(device, ppa, name) || if_nametoindex(name) == 0) {
            return error(DL_BADPPA);
        }
        DlpiReply reply{};
        reply.kind = DlpiReply::Ack;
        return reply;
    }

    DlpiReply linkBind(const char* device, uint32_t ppa, uint32_t sap) override
    {
        char name[IFNAMSIZ];
        if (!interfaceName(device, ppa, name)) {
            return error(DL_BADPPA);
        }
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) {
            return error(DL_SYSERR);
        }
        ifreq request{};
        snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
        int rc = ioctl(s, SIOCGIFHWADDR, &request);
        sunos_sys_close(s);
        if (rc != 0) {
            return error(DL_SYSERR);
        }
        // The DLSAP address of an Ethernet provider: the 6-byte station
        // address followed by the 2-byte SAP.
        DlpiReply reply{};
        reply.kind = DlpiReply::Ack;
        memcpy(reply.addr, request.ifr_hwaddr.sa_data, 6);
        auto sap16 = static_cast<uint16_t>(sap);
        memcpy(reply.addr + 6, &sap16, sizeof sap16);
        reply.addrLength = 8;
        return reply;
    }

  private:
    static bool isVisible(const CpuAllowance& allowance, processorid_t id)
    {
        int ids[maxVisible];
        int n = visibleProcessors(allowance, ids, maxVisible);
        for (int i = 0; i < n; i++) {
            if (ids[i] == id) {
                return true;
            }
        }
        return false;
    }

    // The chain of a CPU-limited container: one cpu_stat per visible
    // processor, the container's busy and idle time shared out among them.
    static bool containerChain(KstatBuilder& chain, const CpuAllowance& allowance, int64_t usageNanos)
    {
        int ids[maxVisible];
        int n = visibleProcessors(allowance, ids, maxVisible);
        if (n <= 0) {
            return false;
        }
        uint64_t busyTicks = 0;
        uint64_t idleTicks = 0;
        {
            std::lock_guard<std::mutex> guard(containerLock);
            containerCpuAdvance(&containerClock, usageNanos, monotonicNanos(), allowance.fraction);
            busyTicks = containerClock.busyNanos / CONTAINER_NANOS_PER_TICK;
            idleTicks = containerClock.idleNanos / CONTAINER_NANOS_PER_TICK;
        }
        for (int i = 0; i < n; i++) {
            cpu_stat_t stat{};
            // The remainder goes to the first processor, so the sums are exact.
            uint64_t busy = busyTicks / static_cast<uint64_t>(n) + (i == 0 ? busyTicks % static_cast<uint64_t>(n) : 0);
            uint64_t idle = idleTicks / static_cast<uint64_t>(n) + (i == 0 ? idleTicks % static_cast<uint64_t>(n) : 0);
            stat.cpu_sysinfo.cpu[CPU_USER] = low32(busy);
            stat.cpu_sysinfo.cpu[CPU_IDLE] = low32(idle);
            char name[KSTAT_STRLEN];
            snprintf(name, sizeof name, "cpu_stat%d", ids[i]);
            if (!chain.add("cpu_stat", ids[i], name, KSTAT_TYPE_RAW, &stat, sizeof stat, 1, false)) {
                return false;
            }
        }
        if (!addCap(chain, allowance)) {
            return false;
        }
        auto* text = static_cast<char*>(malloc(procStatSize));
        bool ok = text != nullptr && addMisc(chain, n) && addSystemPages(chain, text);
        free(text);
        return ok;
    }

    // The zone's CPU cap: the allowance in percent of one processor.
    static bool addCap(KstatBuilder& chain, const CpuAllowance& allowance)
    {
        kstat_named_t cap[] = {named("value", static_cast<uint64_t>(llround(allowance.fraction * 100.0)))};
        char name[KSTAT_STRLEN];
        snprintf(name, sizeof name, "cpucaps_zone_%d", static_cast<int>(getzoneid()));
        return chain.add("caps", 0, name, KSTAT_TYPE_NAMED, cap, sizeof cap, 1, false);
    }

    static uint32_t clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

    static DlpiReply error(uint32_t dlError)
    {
        DlpiReply reply{};
        reply.kind = DlpiReply::ErrorAck;
        reply.dlError = dlError;
        return reply;
    }

    static bool interfaceName(const char* device, uint32_t ppa, char* name)
    {
        int n = snprintf(name, IFNAMSIZ, "%s%u", device, ppa);
        return n > 0 && n < IFNAMSIZ;
    }

    // Seconds since the epoch at boot, the "btime" of /proc/stat; 0 if unknown.
    static long long bootTime()
    {
        static constexpr size_t statSize = size_t{64} * 1024;
        auto* text = static_cast<char*>(malloc(statSize));
        uint64_t seconds = 0;
        if (text != nullptr && sunos_read_file("/proc/stat", text, statSize) > 0) {
            parseProcStatBtime(text, &seconds);
        }
        free(text);
        return static_cast<long long>(seconds);
    }

    static int clockMhz(processorid_t id)
    {
        static constexpr size_t cpuinfoSize = size_t{512} * 1024;
        int mhz = 0;
        auto* text = static_cast<char*>(malloc(cpuinfoSize));
        if (text != nullptr && sunos_read_file("/proc/cpuinfo", text, cpuinfoSize) > 0 &&
            parseCpuinfoMhz(text, id, &mhz)) {
            free(text);
            return mhz;
        }
        free(text);
        // An offline processor is not in /proc/cpuinfo; its rated clock is.
        char path[128];
        char line[32];
        snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%d/cpufreq/cpuinfo_max_freq", id);
        if (readLine(path, line, sizeof line)) {
            return static_cast<int>(strtol(line, nullptr, 10) / 1000);
        }
        return 0;
    }

    static bool addMisc(KstatBuilder& chain, int ncpus)
    {
        kstat_named_t values[] = {named("ncpus", static_cast<uint64_t>(ncpus)),
                                  named("boot_time", static_cast<uint64_t>(bootTime()))};
        values[0].data_type = KSTAT_DATA_UINT32;
        values[0].value.ui32 = static_cast<uint32_t>(ncpus);
        return chain.add("unix", 0, "system_misc", KSTAT_TYPE_NAMED, values, sizeof values, 2, false);
    }

    // Page counts in the machine's own page size, the unit sysconf(_SC_PAGESIZE) gives.
    static bool addSystemPages(KstatBuilder& chain, char* text)
    {
        uint64_t totalKb = 0;
        uint64_t freeKb = 0;
        if (sunos_read_file("/proc/meminfo", text, procStatSize) <= 0 || !parseMeminfoKb(text, "MemTotal", &totalKb) ||
            !parseMeminfoFreeKb(text, &freeKb)) {
            return false;
        }
        uint64_t pageKb = static_cast<uint64_t>(getpagesize()) / 1024;
        CgroupFigures figures{};
        cgroupRead(cgroupLiveReader(), &figures);
        containerMemory(figures, &totalKb, &freeKb);
        kstat_named_t values[] = {named("physmem", totalKb / pageKb), named("availrmem", freeKb / pageKb),
                                  named("pagestotal", totalKb / pageKb), named("freemem", freeKb / pageKb),
                                  named("pagesfree", freeKb / pageKb)};
        return chain.add("unix", 0, "system_pages", KSTAT_TYPE_NAMED, values, sizeof values,
                         sizeof values / sizeof values[0], false);
    }
};

} // namespace

SunosSource& sunos_live_source()
{
    static LiveSource live;
    return live;
}
