// The server process's own CPU utilisation, from getrusage against the time
// of day, in percent of the processors the server may use: those online, or
// its zone's CPU cap where that is smaller.  The baseline is library-wide:
// initProcLoadUtilization sets it and every interval sample moves the
// interval start to its own moment; the processors are read again at every
// sample, since a zone's cap can change while the server runs.
#include "hostgauge/solaris/hostgauge.h"

#include "com_qor_vt_rlm_server_system_HostGauge.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jni.h>
#include <kstat.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>
#include <zone.h>

namespace {

struct rusage createUsage;
struct rusage lastUsage;
struct timeval createTime;
struct timeval lastTime;
double fullCreateUsage;
double fullLastUsage;
double fullCreateTime;
double fullLastTime;
double nProcessors;

double timevalSeconds(const struct timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

double usageSeconds(const struct rusage& usage)
{
    return rusageSeconds(usage.ru_utime.tv_sec, usage.ru_utime.tv_usec, usage.ru_stime.tv_sec, usage.ru_stime.tv_usec);
}

double currentUsage()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usageSeconds(usage);
}

double currentTime()
{
    struct timeval now {};
    gettimeofday(&now, nullptr);
    return timevalSeconds(now);
}

// The CPU cap of the calling process's zone in processors (the "value" of
// the caps kstat cpucaps_zone_<id>, in percent of one processor); 0 when the
// zone has no cap.
double zoneCpuCap()
{
    kstat_ctl_t* kc = kstat_open();
    if (kc == nullptr) {
        return 0.0;
    }
    char name[KSTAT_STRLEN];
    snprintf(name, sizeof name, "cpucaps_zone_%d", static_cast<int>(getzoneid()));
    double cap = 0.0;
    kstat_t* ksp = kstat_lookup(kc, const_cast<char*>("caps"), -1, name);
    if (ksp != nullptr && ksp->ks_type == KSTAT_TYPE_NAMED && ksp->ks_data_size >= sizeof(kstat_named_t)) {
        void* buffer = malloc(ksp->ks_data_size);
        if (buffer != nullptr && kstat_read(kc, ksp, buffer) != -1) {
            size_t records = ksp->ks_data_size / sizeof(kstat_named_t);
            const auto* named = static_cast<const kstat_named_t*>(buffer);
            for (size_t i = 0; i < records && i < ksp->ks_ndata; i++) {
                if (strncmp(named[i].name, "value", sizeof "value") == 0 && named[i].data_type == KSTAT_DATA_UINT64) {
                    cap = static_cast<double>(named[i].value.ui64) / 100.0;
                }
            }
        }
        free(buffer);
    }
    kstat_close(kc);
    return cap;
}

} // namespace

double processorShare()
{
    double processors = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
    double cap = zoneCpuCap();
    return cap > 0.0 && cap < processors ? cap : processors;
}

double rusageSeconds(long userSec, long userUsec, long systemSec, long systemUsec)
{
    // Seconds and microseconds are summed separately before the conversion.
    long seconds = userSec + systemSec;
    long micros = userUsec + systemUsec;
    return static_cast<double>(seconds) + static_cast<double>(micros) / 1000000.0;
}

int clampPercent(double percent)
{
    // Not a number (no time passed) and anything below zero read as idle.
    if (!(percent > 0.0)) {
        return 0;
    }
    if (percent > 100.0) {
        return 100;
    }
    return static_cast<int>(percent);
}

int intervalPercent(double usage, double lastUsage, double now, double lastTime, double processors)
{
    // A process's CPU time only grows; when it did not grow there was nothing
    // to charge to the interval.
    double delta = usage > lastUsage ? usage - lastUsage : 0.0;
    double elapsed = now - lastTime;
    if (processors <= 0 || elapsed <= 0.0) {
        return 0;
    }
    return clampPercent(delta / elapsed * 100.0 / processors);
}

int averagePercent(double usage, double now, double createTime, double processors)
{
    // The reference start was moved back at initialisation by the CPU time
    // used before it, so the whole CPU time of the process is the numerator.
    double elapsed = now - createTime;
    if (processors <= 0 || elapsed <= 0.0) {
        return 0;
    }
    return clampPercent(usage / elapsed * 100.0 / processors);
}

extern "C" {

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_initProcLoadUtilization(JNIEnv* /*env*/,
                                                                                           jobject /*self*/)
{
    getrusage(RUSAGE_SELF, &createUsage);
    getrusage(RUSAGE_SELF, &lastUsage);
    gettimeofday(&createTime, nullptr);
    gettimeofday(&lastTime, nullptr);
    fullCreateTime = timevalSeconds(createTime);
    fullLastTime = timevalSeconds(lastTime);
    fullCreateUsage = usageSeconds(createUsage);
    fullLastUsage = usageSeconds(lastUsage);
    nProcessors = processorShare();
    if (nProcessors > 0) {
        fullCreateTime = fullCreateTime - fullCreateUsage / nProcessors;
    }
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getProcLoadUtilization(JNIEnv* /*env*/,
                                                                                          jobject /*self*/)
{
    double usage = currentUsage();
    double now = currentTime();
    nProcessors = processorShare();
    int result = intervalPercent(usage, fullLastUsage, now, fullLastTime, nProcessors);
    fullLastTime = now;
    fullLastUsage = usage;
    return result;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getAverageProcLoadUtilization(JNIEnv* /*env*/,
                                                                                                 jobject /*self*/)
{
    nProcessors = processorShare();
    return averagePercent(currentUsage(), currentTime(), fullCreateTime, nProcessors);
}

} // extern "C"
