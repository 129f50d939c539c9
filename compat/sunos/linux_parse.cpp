// Parsers for /proc/stat, /proc/meminfo, /proc/cpuinfo and /proc/<pid>/statm;
// /proc/<pid>/stat through the shared stat scanner.
#include "compat/sunos/linux_parse.h"
#include "common/linux/proc_stat_text.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sys/sysinfo.h>

namespace {

const char* nextLine(const char* p)
{
    const char* end = strchr(p, '\n');
    return end == nullptr ? nullptr : end + 1;
}

bool startsWith(const char* p, const char* prefix)
{
    return strncmp(p, prefix, strlen(prefix)) == 0;
}

} // namespace

int parseProcStatCpus(const char* text, LinuxCpuTicks* out, int max)
{
    int count = 0;
    for (const char* line = text; line != nullptr && *line != '\0' && count < max; line = nextLine(line)) {
        if (!startsWith(line, "cpu") || line[3] < '0' || line[3] > '9') {
            continue;
        }
        char* p = nullptr;
        LinuxCpuTicks t{};
        t.id = static_cast<int>(strtol(line + 3, &p, 10));
        uint64_t* fields[] = {&t.user, &t.nice, &t.system, &t.idle, &t.iowait, &t.irq, &t.softirq, &t.steal};
        for (uint64_t* field : fields) {
            // Older kernels have fewer columns; stop at the end of the line.
            while (*p == ' ' || *p == '\t') {
                p++;
            }
            if (*p < '0' || *p > '9') {
                break;
            }
            *field = strtoull(p, &p, 10);
        }
        out[count++] = t;
    }
    return count;
}

void solarisCpuStates(const LinuxCpuTicks* ticks, uint32_t states[4])
{
    // Solaris counts nice time as user time and interrupt time as kernel
    // time; its counters are 32 bits wide and wrap. Stolen time is time the
    // hypervisor did not give this machine: neither our work nor idle, so it
    // is in none of the four (the Linux CPU meter leaves it out of busy too).
    states[CPU_IDLE] = static_cast<uint32_t>(ticks->idle);
    states[CPU_USER] = static_cast<uint32_t>(ticks->user + ticks->nice);
    states[CPU_KERNEL] = static_cast<uint32_t>(ticks->system + ticks->irq + ticks->softirq);
    states[CPU_WAIT] = static_cast<uint32_t>(ticks->iowait);
}

bool parseProcStatBtime(const char* text, uint64_t* seconds)
{
    for (const char* line = text; line != nullptr && *line != '\0'; line = nextLine(line)) {
        if (startsWith(line, "btime ")) {
            char* end = nullptr;
            uint64_t value = strtoull(line + 6, &end, 10);
            if (end == line + 6) {
                return false;
            }
            *seconds = value;
            return true;
        }
    }
    return false;
}

bool parseMeminfoKb(const char* text, const char* key, uint64_t* kb)
{
    size_t keyLength = strlen(key);
    for (const char* line = text; line != nullptr && *line != '\0'; line = nextLine(line)) {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            // Digits on the key's own line: strtoull alone would take a sign
            // ("-5" as nearly 2^64) or a number from the next line.
            const char* digits = line + keyLength + 1;
            while (*digits == ' ' || *digits == '\t') {
                digits++;
            }
            if (*digits < '0' || *digits > '9') {
                return false;
            }
            char* end = nullptr;
            uint64_t value = strtoull(digits, &end, 10);
            *kb = value;
            return true;
        }
    }
    return false;
}

bool parseMeminfoFreeKb(const char* text, uint64_t* kb)
{
    // Solaris's freemem includes the page cache's free list; MemFree leaves
    // the reclaimable cache out, MemAvailable (Linux 3.14 on) counts it.
    return parseMeminfoKb(text, "MemAvailable", kb) || parseMeminfoKb(text, "MemFree", kb);
}

bool parseCpuinfoMhz(const char* text, int processor, int* mhz)
{
    bool inBlock = false;
    for (const char* line = text; line != nullptr && *line != '\0'; line = nextLine(line)) {
        if (startsWith(line, "processor")) {
            const char* colon = strchr(line, ':');
            inBlock = colon != nullptr && atoi(colon + 1) == processor;
        } else if (inBlock && startsWith(line, "cpu MHz")) {
            const char* colon = strchr(line, ':');
            if (colon == nullptr) {
                return false;
            }
            double value = 0.0;
            parseDecimal(colon + 1, &value); // 0 when there is none
            *mhz = static_cast<int>(lround(value));
            return true;
        }
    }
    return false;
}

bool parseProcessStat(const char* text, LinuxProcessStat* out)
{
    ProcStatFields fields{};
    if (parseProcStatFields(text, &fields) < 22) {
        return false;
    }
    LinuxProcessStat s{};
    s.pid = fields.pid;
    memcpy(s.comm, fields.comm, sizeof s.comm);
    s.state = fields.state;
    s.ppid = fields.ppid;
    s.pgrp = fields.pgrp;
    s.session = fields.session;
    s.ttyNr = fields.ttyNr;
    s.numThreads = static_cast<long>(fields.numThreads);
    s.startTicks = fields.startTime;
    *out = s;
    return true;
}

bool parseStatm(const char* text, uint64_t* sizePages, uint64_t* residentPages)
{
    char* end = nullptr;
    uint64_t size = strtoull(text, &end, 10);
    if (end == text) {
        return false;
    }
    const char* p = end;
    uint64_t resident = strtoull(p, &end, 10);
    if (end == p) {
        return false;
    }
    *sizePages = size;
    *residentPages = resident;
    return true;
}
