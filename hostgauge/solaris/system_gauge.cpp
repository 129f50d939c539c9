// System CPU utilisation and free memory from the kernel statistics.  No kstat
// handle is kept: every sample opens the statistics, walks the chain and
// closes it again.  The previous CPU sample lives with the caller, in the byte
// array it passes on every call.
#include "hostgauge/solaris/hostgauge.h"

#include "com_qor_vt_rlm_server_system_HostGauge.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <jni.h>
#include <kstat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

static_assert(sizeof(cpu_info_t) == CPU_INFO_BYTES, "four 32-bit counters");

int getCpuSnapshot(cpu_info_t* snapshot)
{
    kstat_ctl_t* kc = kstat_open();
    if (kc == nullptr) {
        return 1;
    }
    for (kstat_t* ksp = kc->kc_chain; ksp != nullptr; ksp = ksp->ks_next) {
        if (strncmp(ksp->ks_name, "cpu_stat", 8) != 0) {
            continue;
        }
        // The read copies the statistic whole: one of another size would run
        // past the buffer, or leave part of the counters unset.
        cpu_stat_t stat;
        if (ksp->ks_data_size != sizeof stat || kstat_read(kc, ksp, &stat) == -1) {
            kstat_close(kc);
            return 1;
        }
        for (int i = 0; i < 4; i++) {
            snapshot->ticks[i] += stat.cpu_sysinfo.cpu[i];
        }
    }
    kstat_close(kc);
    return 0;
}

int computePercentCpu(const cpu_info_t* current, const cpu_info_t* previous)
{
    // Unsigned differences: a counter that wrapped past 2^32 since the
    // previous sample still gives its true increase.
    double idle = static_cast<uint32_t>(current->ticks[CPU_IDLE] - previous->ticks[CPU_IDLE]);
    double user = static_cast<uint32_t>(current->ticks[CPU_USER] - previous->ticks[CPU_USER]);
    double kernel = static_cast<uint32_t>(current->ticks[CPU_KERNEL] - previous->ticks[CPU_KERNEL]);
    double wait = static_cast<uint32_t>(current->ticks[CPU_WAIT] - previous->ticks[CPU_WAIT]);
    double busy = user + kernel;
    double total = idle + user + kernel + wait;
    if (total == 0.0) {
        return 0; // no tick passed since the previous sample
    }
    return static_cast<int>(100.0 * busy / total);
}

int getFreeMemSnapshot(mem_info_t* snapshot)
{
    kstat_ctl_t* kc = kstat_open();
    if (kc == nullptr) {
        return 1;
    }
    kstat_t* ksp = kc->kc_chain;
    while (ksp != nullptr && !(ksp->ks_type == KSTAT_TYPE_NAMED && strcmp(ksp->ks_name, "system_pages") == 0)) {
        ksp = ksp->ks_next;
    }
    if (ksp == nullptr) {
        kstat_close(kc);
        return 1;
    }
    void* buffer = malloc(ksp->ks_data_size > 0 ? ksp->ks_data_size : 1);
    if (buffer == nullptr) {
        kstat_close(kc);
        return 1;
    }
    int rc = 1;
    if (kstat_read(kc, ksp, buffer) != -1 && ksp->ks_ndata != 0) {
        // Only the records the buffer holds are looked at, whatever the count says.
        size_t records = ksp->ks_data_size / sizeof(kstat_named_t);
        if (records > ksp->ks_ndata) {
            records = ksp->ks_ndata;
        }
        const auto* named = static_cast<const kstat_named_t*>(buffer);
        for (size_t i = 0; i < records; i++) {
            if (strncmp(named[i].name, "freemem", sizeof "freemem") != 0) {
                continue;
            }
            // A negative count of a signed type is no count of pages: read
            // as unsigned it would pass for the most memory there can be.
            switch (named[i].data_type) {
            case KSTAT_DATA_INT32:
            case KSTAT_DATA_UINT32:
                snapshot->freemem = named[i].value.ui32;
                rc = named[i].data_type == KSTAT_DATA_INT32 && named[i].value.i32 < 0 ? 1 : 0;
                break;
            case KSTAT_DATA_INT64:
            case KSTAT_DATA_UINT64:
                // Whole: the low 32 bits of 2^32 pages (16 TiB of 4 KiB pages) would read as none.
                snapshot->freemem = named[i].value.ui64;
                rc = named[i].data_type == KSTAT_DATA_INT64 && named[i].value.i64 < 0 ? 1 : 0;
                break;
            default:
                break;
            }
            break;
        }
    }
    free(buffer);
    kstat_close(kc);
    return rc;
}

// Free pages as the Java int of kilobytes.  The product is taken in 64 bits
// and what an int cannot hold (2 TiB and more) reads as the largest int,
// never as a wrapped, negative or zero figure.
static jint freeMemoryKb(uint64_t pages, long pageSize)
{
    uint64_t pageKb = pageSize > 0 ? static_cast<uint64_t>(pageSize) / 1024 : 0;
    if (pageKb != 0 && pages > static_cast<uint64_t>(INT32_MAX) / pageKb) {
        return INT32_MAX;
    }
    return static_cast<jint>(pages * pageKb);
}

extern "C" {

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_initStats(JNIEnv* /*env*/, jobject /*self*/,
                                                                             jint /*unused*/)
{
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_finalizeStats(JNIEnv* /*env*/, jobject /*self*/,
                                                                                 jint /*unused*/)
{
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_initCpuUtilization(JNIEnv* env, jobject /*self*/,
                                                                                      jint /*unused*/, jbyteArray state)
{
    // The baseline goes into the state array, so that the first
    // getCpuUtilization covers the time since now and not since boot. An
    // array that cannot hold it is left alone, as getCpuUtilization does.
    if (state == nullptr || env->GetArrayLength(state) < CPU_INFO_BYTES) {
        return 0;
    }
    jbyte* bytes = env->GetByteArrayElements(state, nullptr);
    if (bytes == nullptr) {
        return 0;
    }
    cpu_info_t current;
    memset(&current, 0, sizeof current);
    if (getCpuSnapshot(&current) == 0) {
        memcpy(bytes, &current, sizeof current);
    }
    env->ReleaseByteArrayElements(state, bytes, 0);
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getCpuUtilization(JNIEnv* env, jobject /*self*/,
                                                                                     jint /*unused*/, jbyteArray state)
{
    // The previous sample takes the array's first 16 bytes; a missing or
    // shorter array cannot hold it and is left alone.
    if (state == nullptr || env->GetArrayLength(state) < CPU_INFO_BYTES) {
        return -2;
    }
    jbyte* bytes = env->GetByteArrayElements(state, nullptr);
    if (bytes == nullptr) {
        return -2;
    }
    cpu_info_t current;
    memset(&current, 0, sizeof current);
    int result = -2;
    if (getCpuSnapshot(&current) == 0) {
        cpu_info_t previous;
        memcpy(&previous, bytes, sizeof previous);
        result = computePercentCpu(&current, &previous);
        memcpy(bytes, &current, sizeof current);
    }
    env->ReleaseByteArrayElements(state, bytes, 0);
    return result;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_finalizeCpuUtilization(JNIEnv* /*env*/,
                                                                                          jobject /*self*/,
                                                                                          jint /*unused*/,
                                                                                          jbyteArray /*state*/)
{
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_initFreeMemory(JNIEnv* /*env*/, jobject /*self*/,
                                                                                  jint /*unused*/, jbyteArray /*state*/)
{
    return 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getFreeMemory(JNIEnv* /*env*/, jobject /*self*/,
                                                                                 jint /*unused*/, jbyteArray /*state*/)
{
    mem_info_t snapshot{};
    if (getFreeMemSnapshot(&snapshot) != 0) {
        return -1;
    }
    return freeMemoryKb(snapshot.freemem, sysconf(_SC_PAGESIZE));
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_finalizeFreeMemory(JNIEnv* /*env*/, jobject /*self*/,
                                                                                      jint /*unused*/,
                                                                                      jbyteArray /*state*/)
{
    return 0;
}

} // extern "C"
