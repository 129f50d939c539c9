// System CPU utilisation from the performance counters ("% Processor Time" of
// every processor instance) and available physical memory from the memory
// status.  The counter set is built once per caller and kept in the caller's
// byte array, so a sample costs one collection and one read per processor.
//
// The array carries addresses, and Java may hand back any bytes: a set is
// used or released only while the library knows it as one it built and has
// not released yet, and releasing it clears its fields in the array.
#include "com_qor_vt_rlm_server_system_HostGauge.h"
#include "common/win32.h"
#include "hostgauge/win32/hostgauge.h"

#include <pdh.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Indexes of the processor object and its "% Processor Time" counter in the
// system's table of counter names.
constexpr DWORD PROCESSOR_OBJECT_INDEX = 238;
constexpr DWORD PROCESSOR_TIME_INDEX = 6;
constexpr DWORD NAME_SIZE = 256;
// Both names, the instance number and the separators.
constexpr size_t PATH_SIZE = 2 * NAME_SIZE + 16;

constexpr size_t QUERY_AT = 0;
constexpr size_t COUNTERS_AT = 8;
constexpr size_t COUNT_AT = 16;

struct pdh_query_info_t {
    PDH_HQUERY* query;      // heap cell holding the query handle
    PDH_HCOUNTER* counters; // heap array of n counter handles
    uint32_t n;
};

static_assert(sizeof(PDH_HQUERY*) == 8 && sizeof(PDH_HCOUNTER*) == 8, "the array holds 64-bit addresses");
static_assert(sizeof(MEMORYSTATUSEX) == 64, "the length GlobalMemoryStatusEx is given");

// The sets built and not yet released.  The lock keeps the list whole when
// callers on several threads build or release their own sets at once, and
// no set is released while a sample of it runs.
struct LiveSet {
    pdh_query_info_t set;
    LiveSet* next;
};
SRWLOCK liveLock = SRWLOCK_INIT;
LiveSet* liveSets = nullptr;

pdh_query_info_t readSet(const jbyte* bytes)
{
    pdh_query_info_t set;
    memcpy(&set.query, bytes + QUERY_AT, sizeof set.query);
    memcpy(&set.counters, bytes + COUNTERS_AT, sizeof set.counters);
    memcpy(&set.n, bytes + COUNT_AT, sizeof set.n);
    return set;
}

void writeSet(jbyte* bytes, const pdh_query_info_t& set)
{
    memcpy(bytes + QUERY_AT, &set.query, sizeof set.query);
    memcpy(bytes + COUNTERS_AT, &set.counters, sizeof set.counters);
    memcpy(bytes + COUNT_AT, &set.n, sizeof set.n);
}

bool sameSet(const pdh_query_info_t& a, const pdh_query_info_t& b)
{
    return a.query == b.query && a.counters == b.counters && a.n == b.n;
}

bool remember(const pdh_query_info_t& set)
{
    auto* live = static_cast<LiveSet*>(malloc(sizeof(LiveSet)));
    if (live == nullptr) {
        return false;
    }
    live->set = set;
    AcquireSRWLockExclusive(&liveLock);
    live->next = liveSets;
    liveSets = live;
    ReleaseSRWLockExclusive(&liveLock);
    return true;
}

// True when set was live; it no longer is.
bool forget(const pdh_query_info_t& set)
{
    AcquireSRWLockExclusive(&liveLock);
    LiveSet* found = nullptr;
    for (LiveSet** link = &liveSets; *link != nullptr; link = &(*link)->next) {
        if (sameSet((*link)->set, set)) {
            found = *link;
            *link = found->next;
            break;
        }
    }
    ReleaseSRWLockExclusive(&liveLock);
    free(found);
    return found != nullptr;
}

void destroySet(const pdh_query_info_t& set)
{
    PdhCloseQuery(*set.query);
    free(set.counters);
    free(set.query);
}

// The set the array names is released (when it is live) and its fields
// cleared, so that nothing can use it again.
void releaseSetIn(jbyte* bytes)
{
    pdh_query_info_t set = readSet(bytes);
    if (forget(set)) {
        destroySet(set);
        memset(bytes, 0, PDH_QUERY_INFO_BYTES);
    }
}

// One collection and the average of the processors' whole percentages, or -1.
int sample(const pdh_query_info_t& set)
{
    if (set.n == 0 || PdhCollectQueryData(*set.query) != ERROR_SUCCESS) {
        return -1;
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < set.n; i++) {
        PDH_FMT_COUNTERVALUE value;
        if (PdhGetFormattedCounterValue(set.counters[i], PDH_FMT_DOUBLE, nullptr, &value) != ERROR_SUCCESS) {
            return -1;
        }
        sum += wholePercent(value.doubleValue);
    }
    return static_cast<int>(sum / set.n);
}

// A sample of the set, or -1 when it is not live.  The list stays locked
// for the sample: a copy of the array may release the set on another thread,
// which then waits instead of closing the query under the sample.
int sampleLive(const pdh_query_info_t& set)
{
    AcquireSRWLockShared(&liveLock);
    bool found = false;
    for (LiveSet* live = liveSets; live != nullptr && !found; live = live->next) {
        found = sameSet(live->set, set);
    }
    int result = found ? sample(set) : -1;
    ReleaseSRWLockShared(&liveLock);
    return result;
}

// The localised name at index, or fallback when the system has none.
void lookupName(DWORD index, char* name, const char* fallback)
{
    DWORD size = NAME_SIZE;
    if (PdhLookupPerfNameByIndexA(nullptr, index, name, &size) != ERROR_SUCCESS) {
        snprintf(name, NAME_SIZE, "%s", fallback);
    }
    name[NAME_SIZE - 1] = '\0';
}

// Adds the processors' counters to the recorded set and primes the query:
// "% Processor Time" is a rate, which has a value only from the second
// collection on, so the priming collection is not read.
int addProcessorCounters(const pdh_query_info_t& set, char* path)
{
    char objectName[NAME_SIZE];
    char counterName[NAME_SIZE];
    lookupName(PROCESSOR_OBJECT_INDEX, objectName, "Processor");
    lookupName(PROCESSOR_TIME_INDEX, counterName, "% Processor Time");
    for (uint32_t i = 0; i < set.n; i++) {
        snprintf(path, PATH_SIZE, "\\%s(%d)\\%s", objectName, static_cast<int>(i), counterName);
        if (PdhAddCounterA(*set.query, path, 0, &set.counters[i]) != ERROR_SUCCESS) {
            return -1; // the counters added so far stay in the recorded set
        }
    }
    return PdhCollectQueryData(*set.query) == ERROR_SUCCESS ? 0 : -1;
}

// The state array's elements when it can hold a counter set, else null.
jbyte* stateBytes(JNIEnv* env, jbyteArray state)
{
    if (state == nullptr || env->GetArrayLength(state) < PDH_QUERY_INFO_BYTES) {
        return nullptr;
    }
    return env->GetByteArrayElements(state, nullptr);
}

} // namespace

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
    jbyte* bytes = stateBytes(env, state);
    if (bytes == nullptr) {
        return -1;
    }
    // A set still recorded in the array is released instead of being lost.
    releaseSetIn(bytes);

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    pdh_query_info_t set = {static_cast<PDH_HQUERY*>(malloc(sizeof(PDH_HQUERY))),
                            static_cast<PDH_HCOUNTER*>(calloc(info.dwNumberOfProcessors, sizeof(PDH_HCOUNTER))),
                            info.dwNumberOfProcessors};
    auto* path = static_cast<char*>(malloc(PATH_SIZE));
    int result = -1;
    if (set.query != nullptr && set.counters != nullptr && path != nullptr &&
        PdhOpenQueryA(nullptr, 0, set.query) == ERROR_SUCCESS) {
        // Known as live only once built: a stale copy of an array whose
        // released set had the same addresses cannot release it meanwhile.
        result = addProcessorCounters(set, path);
        if (remember(set)) {
            writeSet(bytes, set);
            set = {}; // the set belongs to the array now
        } else {
            PdhCloseQuery(*set.query);
            result = -1;
        }
    }
    free(set.query);
    free(set.counters);
    free(path);
    env->ReleaseByteArrayElements(state, bytes, 0);
    return result;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_getCpuUtilization(JNIEnv* env, jobject /*self*/,
                                                                                     jint /*unused*/, jbyteArray state)
{
    jbyte* bytes = stateBytes(env, state);
    if (bytes == nullptr) {
        return -1;
    }
    int result = sampleLive(readSet(bytes));
    env->ReleaseByteArrayElements(state, bytes, 0);
    return result;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_finalizeCpuUtilization(JNIEnv* env, jobject /*self*/,
                                                                                          jint /*unused*/,
                                                                                          jbyteArray state)
{
    jbyte* bytes = stateBytes(env, state);
    if (bytes != nullptr) {
        releaseSetIn(bytes);
        env->ReleaseByteArrayElements(state, bytes, 0);
    }
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
    // Looked up at run time: systems without GlobalMemoryStatusEx have only
    // GlobalMemoryStatus.
    HMODULE kernel = LoadLibraryA("Kernel32");
    if (kernel == nullptr) {
        printf("KEL.rlm.hostgauge: LoadLibrary(\"Kernel32\") failed !!!\n");
        fflush(stdout);
        return 0;
    }
    bool found = false;
    uint64_t available = 0;
    auto statusEx = procAddress<BOOL(WINAPI*)(MEMORYSTATUSEX*)>(kernel, "GlobalMemoryStatusEx");
    if (statusEx != nullptr) {
        found = true;
        MEMORYSTATUSEX status;
        memset(&status, 0, sizeof status);
        status.dwLength = sizeof status;
        // A failed call reports nothing rather than what the record held.
        if (statusEx(&status)) {
            available = status.ullAvailPhys;
        }
    } else {
        auto statusOld = procAddress<void(WINAPI*)(MEMORYSTATUS*)>(kernel, "GlobalMemoryStatus");
        if (statusOld != nullptr) {
            found = true;
            MEMORYSTATUS status;
            memset(&status, 0, sizeof status);
            statusOld(&status);
            available = status.dwAvailPhys;
        }
    }
    if (!FreeLibrary(kernel)) {
        printf("KEL.rlm.hostgauge: FreeLibrary failed !!!\n");
        fflush(stdout);
    }
    return found ? availableKb(available) : 0;
}

JNIEXPORT jint JNICALL Java_com_qor_vt_rlm_server_system_HostGauge_finalizeFreeMemory(JNIEnv* /*env*/, jobject /*self*/,
                                                                                      jint /*unused*/,
                                                                                      jbyteArray /*state*/)
{
    return 0;
}

} // extern "C"
