// Processors, clock rate, platform speed factor, physical memory and process
// sizes, reported into fields of the calling Java object.
#include "hostscout/solaris/hostscout.h"

#include "com_qor_vt_mr_hostscout_process_ProcessDetectorImpl.h"
#include "com_qor_vt_mr_hostscout_unix_UnixHostScout.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <jni.h>
#include <procfs.h>
#include <sys/processor.h>
#include <sys/systeminfo.h>
#include <unistd.h>

namespace {

constexpr processorid_t maxProcessorId = 16383;

// Set on the first getCpuInfo; the platform line is printed once per process.
int platformPrinted = 0;

bool contains(const char* text, const char* part)
{
    return strstr(text, part) != nullptr;
}

} // namespace

float platformSpeedFactor(const char* platform)
{
    // The substring tests are loose on purpose: "x" matches any Sun Fire
    // model with that letter, and "e2", "e4", "e6" match anywhere.
    if (contains(platform, "sun-fire") || contains(platform, "sun fire")) {
        if (contains(platform, "t100") || contains(platform, "t200")) {
            return 0.3F;
        }
        static const char* const fast[] = {"v490", "v890", "e2", "e4", "e6", "x", "v40z"};
        for (const char* model : fast) {
            if (contains(platform, model)) {
                return 0.75F;
            }
        }
        return 0.0F;
    }
    if (contains(platform, "netra")) {
        if (contains(platform, "cp3060")) {
            return 0.3F;
        }
        if (contains(platform, "1290") || contains(platform, "3020")) {
            return 0.75F;
        }
        return 0.0F;
    }
    if (contains(platform, "grid") || contains(platform, "blade")) {
        return 0.75F;
    }
    return 0.0F;
}

extern "C" {

JNIEXPORT void JNICALL Java_com_qor_vt_mr_hostscout_unix_UnixHostScout_getCpuInfo(JNIEnv* env, jobject self)
{
    long configured = sysconf(_SC_NPROCESSORS_CONF);
    int online = 0;
    int clockSum = 0;
    long found = 0;
    if (configured != 0) {
        // Processor ids may have gaps: walk on until every configured
        // processor was seen.
        for (processorid_t id = 0; id <= maxProcessorId && found != configured; id++) {
            int state = p_online(id, P_STATUS);
            if (state == -1) {
                continue;
            }
            found++;
            processor_info_t info;
            if (processor_info(id, &info) != 0) {
                continue;
            }
            if (info.pi_state == P_ONLINE || info.pi_state == P_NOINTR) {
                online++;
                clockSum += info.pi_clock;
            }
        }
    }
    int mhz = online != 0 ? clockSum / online : 0;

    char platform[256];
    platform[0] = '\0';
    if (sysinfo(SI_PLATFORM, platform, sizeof platform) < 0) {
        platform[0] = '\0';
    }
    platform[sizeof platform - 1] = '\0';
    for (char* p = platform; *p != '\0'; p++) {
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    }
    float isf = platformSpeedFactor(platform);
    if (platformPrinted == 0) {
        platformPrinted = 1;
        printf("platform: %s isf: %f\n", platform, static_cast<double>(isf));
        fflush(stdout);
    }

    // A field the class lacks leaves its lookup error pending for Java to
    // see; nothing is written through a missing field.
    jclass cls = env->GetObjectClass(self);
    jfieldID cpusField = env->GetFieldID(cls, "cpus", "I");
    if (cpusField == nullptr) {
        return;
    }
    env->SetIntField(self, cpusField, online);
    jfieldID mhzField = env->GetFieldID(cls, "mhz", "I");
    if (mhzField == nullptr) {
        return;
    }
    env->SetIntField(self, mhzField, mhz);
    if (isf != 0.0F) {
        jfieldID isfField = env->GetFieldID(cls, "isf", "F");
        if (isfField != nullptr) {
            env->SetFloatField(self, isfField, isf);
        }
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_hostscout_unix_UnixHostScout_getMemInfo(JNIEnv* env, jobject self)
{
    auto pageSize = static_cast<jlong>(sysconf(_SC_PAGESIZE));
    auto pages = static_cast<jlong>(sysconf(_SC_PHYS_PAGES));
    jclass cls = env->GetObjectClass(self);
    jfieldID membytesField = env->GetFieldID(cls, "membytes", "J");
    if (membytesField != nullptr) {
        env->SetLongField(self, membytesField, pageSize * pages);
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_hostscout_process_ProcessDetectorImpl__1updateProcessStats(JNIEnv* env,
                                                                                                     jobject self)
{
    jclass cls = env->GetObjectClass(self);
    jfieldID residentField = env->GetFieldID(cls, "residentSizeKb", "J");
    env->ExceptionClear();
    jfieldID totalField = env->GetFieldID(cls, "totalSizeKb", "J");
    env->ExceptionClear();
    jfieldID pidField = env->GetFieldID(cls, "pid", "I");
    pid_t pid = getpid();
    // An object without a "pid" field leaves a lookup error pending; that
    // only means "this process".
    env->ExceptionClear();
    if (pidField != nullptr) {
        jint requested = env->GetIntField(self, pidField);
        env->ExceptionClear();
        if (requested != 0) {
            pid = requested;
        }
    }

    jlong residentKb = 0;
    jlong totalKb = 0;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/psinfo", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_NDELAY);
    if (fd > 0) {
        psinfo_t info;
        ssize_t got = 0;
        while (got < static_cast<ssize_t>(sizeof info)) {
            ssize_t n = read(fd, reinterpret_cast<char*>(&info) + got, sizeof info - static_cast<size_t>(got));
            if (n <= 0) {
                break;
            }
            got += n;
        }
        if (got < static_cast<ssize_t>(sizeof info)) {
            printf("error reading psinfo from %s, bytesread=%d\n", path, static_cast<int>(got));
            fflush(stdout);
        } else {
            residentKb = static_cast<jlong>(info.pr_rssize);
            totalKb = static_cast<jlong>(info.pr_size);
        }
        close(fd);
    } else if (fd == 0) {
        close(fd); // not counted as opened, but not leaked either
    }
    if (residentField != nullptr) {
        env->SetLongField(self, residentField, residentKb);
    }
    if (totalField != nullptr) {
        env->SetLongField(self, totalField, totalKb);
    }
}

} // extern "C"
