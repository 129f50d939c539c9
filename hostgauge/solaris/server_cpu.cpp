// The server process's own CPU utilisation, from getrusage against the time
// of day.  The baseline is library-wide: initProcLoadUtilization sets it and
// every interval sample moves the interval start to its own moment.
#include "hostgauge/solaris/hostgauge.h"

#include "com_qor_vt_rlm_server_system_HostGauge.h"

#include <jni.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

struct rusage createUsage;
struct rusage lastUsage;
struct timeval createTime;
struct timeval lastTime;
double fullCreateUsage;
double fullLastUsage;
double fullCreateTime;
double fullLastTime;
int nProcessors;

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

} // namespace

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

int intervalPercent(double usage, double lastUsage, double now, double lastTime, int processors)
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

int averagePercent(double usage, double now, double createTime, int processors)
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
    nProcessors = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
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
    int result = intervalPercent(usage, fullLastUsage, now, fullLastTime, nProcessors);
    fullLastTime = now;
    fullLastUsage = usage;
    return result;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getAverageProcLoadUtilization(JNIEnv* /*env*/,
                                                                                                 jobject /*self*/)
{
    return averagePercent(currentUsage(), currentTime(), fullCreateTime, nProcessors);
}

} // extern "C"
