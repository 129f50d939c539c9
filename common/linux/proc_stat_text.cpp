// Pure scanners of /proc text: a process's or thread's stat file, the
// machine-wide line of /proc/stat and the names of /proc entries. They run
// once per thread of every measured process on every sample, so they walk the
// text by hand instead of using a formatted scan.
#include "procload/linux/proc_stat.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

const char* skipBlanks(const char* p)
{
    while (isBlank(*p)) {
        p++;
    }
    return p;
}

// Skips one field: the blanks before it and its non-blank characters.
const char* skipField(const char* p)
{
    p = skipBlanks(p);
    while (*p != '\0' && !isBlank(*p)) {
        p++;
    }
    return p;
}

// Reads an unsigned decimal number after optional blanks; null when there is none.
const char* readUnsigned(const char* p, uint64_t* value)
{
    p = skipBlanks(p);
    if (!isDigit(*p)) {
        return nullptr;
    }
    uint64_t v = 0;
    while (isDigit(*p)) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        p++;
    }
    *value = v;
    return p;
}

} // namespace

bool parseStatText(const char* text, ProcStatRecord* record, ProcStatExtras* extras)
{
    if (extras != nullptr) {
        *extras = ProcStatExtras{};
    }
    // The command name may itself hold parentheses and blanks: the fields
    // resume after the last ")" that follows the first "(".
    const char* open = strchr(text, '(');
    if (open == nullptr) {
        return false;
    }
    const char* close = strrchr(open, ')');
    if (close == nullptr) {
        return false;
    }
    const char* p = skipBlanks(close + 1);
    if (*p == '\0') {
        return false;
    }
    if (strchr("DRSTWZ", *p) != nullptr) {
        record->state = *p;
    }
    p++;

    uint64_t ppid = 0;
    uint64_t pgrp = 0;
    p = readUnsigned(p, &ppid);
    if (p == nullptr || (p = readUnsigned(p, &pgrp)) == nullptr) {
        return false;
    }
    // session, terminal, terminal process group, flags, four fault counters
    for (int i = 0; i < 8; i++) {
        p = skipField(p);
    }
    uint64_t utime = 0;
    uint64_t stime = 0;
    p = readUnsigned(p, &utime);
    if (p == nullptr || (p = readUnsigned(p, &stime)) == nullptr) {
        return false;
    }
    record->ppid = static_cast<int32_t>(ppid);
    record->pgrp = static_cast<int32_t>(pgrp);
    record->ticks = utime + stime;

    if (extras != nullptr) {
        // cutime, cstime, priority and nice may be negative: skipped, not read.
        for (int i = 0; i < 4; i++) {
            p = skipField(p);
        }
        uint64_t threads = 0;
        uint64_t start = 0;
        const char* q = readUnsigned(p, &threads);
        if (q != nullptr) {
            extras->numThreads = static_cast<int64_t>(threads);
            q = readUnsigned(skipField(q), &start); // itrealvalue, then starttime
            if (q != nullptr) {
                extras->startTime = start;
            }
        }
    }
    return true;
}

void parseCpuStatsLine(const char* line, CpuStats* stats)
{
    *stats = CpuStats{};
    if (strlen(line) < 5) {
        return;
    }
    unsigned long long v[9] = {};
    // Columns the kernel does not print stay 0.
    sscanf(line + 5, "%llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
           &v[7], &v[8]);
    stats->user = v[0];
    stats->nice = v[1];
    stats->system = v[2];
    stats->idle = v[3];
    stats->iowait = v[4];
    stats->irq = v[5];
    stats->softirq = v[6];
    stats->steal = v[7];
    stats->guest = v[8];
    stats->total = stats->user + stats->nice + stats->system + stats->idle + stats->iowait + stats->steal + stats->irq +
                   stats->softirq;
    stats->busy = stats->user + stats->nice + stats->system + stats->irq + stats->softirq;
    stats->stealTotal = stats->steal;
    stats->idleTotal = stats->idle + stats->iowait;
}

bool procEntryId(const char* name, int32_t* id)
{
    const char* p = name;
    if (*p == '.') {
        p++;
    }
    if (!isDigit(*p)) {
        return false;
    }
    int64_t v = 0;
    while (isDigit(*p) && v <= INT32_MAX) {
        v = v * 10 + (*p - '0');
        p++;
    }
    if (v > INT32_MAX) {
        return false;
    }
    *id = static_cast<int32_t>(v);
    return true;
}
