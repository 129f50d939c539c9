// The meter's view of /proc text: a stat file as a ProcStatRecord (scanned by
// the shared stat scanner), the machine-wide line of /proc/stat and the names
// of /proc entries.
#include "common/linux/proc_stat_text.h"
#include "procload/linux/proc_stat.h"

#include <cstdio>
#include <cstring>

bool takeStatFields(const ProcStatFields& fields, int lastField, ProcStatRecord* record, ProcStatExtras* extras)
{
    if (extras != nullptr) {
        *extras = ProcStatExtras{};
    }
    if (lastField < 15) {
        return false; // unreadable, no name, or cut before stime
    }
    if (strchr("DRSTWZ", fields.state) != nullptr) {
        record->state = fields.state;
    }
    record->ppid = fields.ppid;
    record->pgrp = fields.pgrp;
    record->ticks = fields.utime + fields.stime;
    if (extras != nullptr) {
        extras->numThreads = lastField >= 20 ? fields.numThreads : 0;
        extras->startTime = lastField >= 22 ? fields.startTime : 0;
    }
    return true;
}

bool parseStatText(const char* text, ProcStatRecord* record, ProcStatExtras* extras)
{
    ProcStatFields fields{};
    int lastField = parseProcStatFields(text, &fields);
    return takeStatFields(fields, lastField, record, extras);
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
    if (*p < '0' || *p > '9') {
        return false;
    }
    int64_t v = 0;
    while (*p >= '0' && *p <= '9' && v <= INT32_MAX) {
        v = v * 10 + (*p - '0');
        p++;
    }
    if (v > INT32_MAX) {
        return false;
    }
    *id = static_cast<int32_t>(v);
    return true;
}
