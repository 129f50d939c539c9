// Processors, clock rate, speed factor, physical memory and process sizes on
// Windows, reported into fields of the calling Java object.  The power and
// logical-processor functions are looked up at run time, so the library
// loads on systems that lack them; their modules are kept once loaded.
#include "com_qor_vt_mr_hostscout_nt_NTHostScout.h"
#include "com_qor_vt_mr_hostscout_process_ProcessDetectorImpl.h"
#include "common/win32.h"

#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// CallNtPowerInformation's level for the processors' power records.
constexpr int PROCESSOR_INFORMATION = 11;
constexpr DWORD QUERY_AND_READ = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
// Tries for a logical-processor list that grows between the size query and
// the read.
constexpr int LIST_TRIES = 4;

struct processor_power_record {
    ULONG Number;
    ULONG MaxMhz;
    ULONG CurrentMhz;
    ULONG MhzLimit;
    ULONG MaxIdleState;
    ULONG CurrentIdleState;
};
static_assert(sizeof(processor_power_record) == 24, "PROCESSOR_POWER_INFORMATION");
static_assert(sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) == 32, "the 64-bit record");
static_assert(sizeof(MEMORYSTATUSEX) == 64, "the length GlobalMemoryStatusEx is given");
static_assert(sizeof(PROCESS_MEMORY_COUNTERS) == 72, "the length GetProcessMemoryInfo is given");

using CallNtPowerInformationFn = LONG(WINAPI*)(int, void*, ULONG, void*, ULONG);
using GetLogicalProcessorInformationFn = BOOL(WINAPI*)(SYSTEM_LOGICAL_PROCESSOR_INFORMATION*, DWORD*);
using GlobalMemoryStatusExFn = BOOL(WINAPI*)(MEMORYSTATUSEX*);

HMODULE modPowrprof = nullptr;
CallNtPowerInformationFn callNtPowerInformation = nullptr;
HMODULE modKernel32 = nullptr;
GetLogicalProcessorInformationFn getLogicalProcessorInformation = nullptr;
// On until one of the two power-library messages was printed.
int powerMessageDue = 1;

void powerMessage(const char* text)
{
    if (powerMessageDue != 0) {
        powerMessageDue = 0;
        printf("%s", text);
        fflush(stdout);
    }
}

// The power library and its entry, loaded again on every call while the
// load fails.
void loadPowerInformation()
{
    if (modPowrprof != nullptr) {
        return;
    }
    modPowrprof = LoadLibraryA("powrprof.dll");
    if (modPowrprof == nullptr) {
        powerMessage("ERROR: unable to load powrprof.dll\n");
        return;
    }
    callNtPowerInformation = procAddress<CallNtPowerInformationFn>(modPowrprof, "CallNtPowerInformation");
    if (callNtPowerInformation == nullptr) {
        powerMessage("ERROR: unable to obtain entrypoint CallNtPowerInformation in powrprof.dll\n");
    }
}

void loadLogicalProcessorInformation()
{
    if (modKernel32 == nullptr) {
        modKernel32 = LoadLibraryA("kernel32.dll");
        if (modKernel32 != nullptr) {
            getLogicalProcessorInformation =
                procAddress<GetLogicalProcessorInformationFn>(modKernel32, "GetLogicalProcessorInformation");
        }
    }
}

// The mean of MaxMhz over the n power records, or false when the records
// cannot be read (a zeroed buffer would read as 0 MHz).
bool meanMaxMhz(uint32_t n, uint32_t* mhz)
{
    if (callNtPowerInformation == nullptr || n == 0) {
        return false;
    }
    auto* records = static_cast<processor_power_record*>(calloc(n, sizeof(processor_power_record)));
    if (records == nullptr) {
        return false;
    }
    bool read = callNtPowerInformation(PROCESSOR_INFORMATION, nullptr, 0, records,
                                       static_cast<ULONG>(n * sizeof(processor_power_record))) == 0;
    if (read) {
        uint32_t sum = 0;
        for (uint32_t i = 0; i < n; i++) {
            sum += records[i].MaxMhz;
        }
        *mhz = sum / n;
    }
    free(records);
    return read;
}

// 0.75 when a processor core runs several hardware threads, else 1.0; false
// when the logical-processor records cannot be read.
bool speedFactor(float* isf)
{
    if (getLogicalProcessorInformation == nullptr) {
        return false;
    }
    // The first call learns the length; a list that grew meanwhile is asked
    // for again with the length the failed read reported.
    DWORD length = 0;
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION* records = nullptr;
    bool read = false;
    for (int i = 0; i < LIST_TRIES && !read; i++) {
        read = getLogicalProcessorInformation(records, &length) != FALSE;
        if (!read) {
            free(records);
            records = nullptr;
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0) {
                break;
            }
            records = static_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION*>(calloc(1, length));
            if (records == nullptr) {
                break;
            }
        }
    }
    if (read) {
        *isf = 1.0F;
        for (DWORD i = 0; records != nullptr && i < length / sizeof *records; i++) {
            if (records[i].Relationship == RelationProcessorCore && records[i].ProcessorCore.Flags == 1) {
                *isf = 0.75F;
            }
        }
    }
    free(records);
    return read;
}

// Sets a field of self; false (the lookup error pending for Java) when the
// class lacks it.
bool setInt(JNIEnv* env, jobject self, jclass cls, const char* name, jint value)
{
    jfieldID field = env->GetFieldID(cls, name, "I");
    if (field != nullptr) {
        env->SetIntField(self, field, value);
    }
    return field != nullptr;
}

bool setLong(JNIEnv* env, jobject self, jclass cls, const char* name, jlong value)
{
    jfieldID field = env->GetFieldID(cls, name, "J");
    if (field != nullptr) {
        env->SetLongField(self, field, value);
    }
    return field != nullptr;
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL Java_com_qor_vt_mr_hostscout_nt_NTHostScout_getCpuInfo(JNIEnv* env, jobject self)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    uint32_t n = info.dwNumberOfProcessors;
    loadPowerInformation();
    loadLogicalProcessorInformation();
    uint32_t mhz = 0;
    bool haveMhz = meanMaxMhz(n, &mhz);
    float isf = 1.0F;
    bool haveIsf = speedFactor(&isf);

    jclass cls = env->GetObjectClass(self);
    if (cls == nullptr) {
        return;
    }
    if (haveMhz && !(setInt(env, self, cls, "cpus", static_cast<jint>(n)) &&
                     setInt(env, self, cls, "mhz", static_cast<jint>(mhz)))) {
        return;
    }
    if (haveIsf) {
        jfieldID field = env->GetFieldID(cls, "isf", "F");
        if (field != nullptr) {
            env->SetFloatField(self, field, isf);
        }
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_hostscout_nt_NTHostScout_getMemInfo(JNIEnv* env, jobject self)
{
    HMODULE kernel = LoadLibraryA("kernel32.dll");
    if (kernel == nullptr) {
        printf("ERROR: unable to load kernel32.dll\n");
        fflush(stdout);
        return;
    }
    auto statusEx = procAddress<GlobalMemoryStatusExFn>(kernel, "GlobalMemoryStatusEx");
    MEMORYSTATUSEX status;
    memset(&status, 0, sizeof status);
    status.dwLength = sizeof status;
    bool read = statusEx != nullptr && statusEx(&status);
    FreeLibrary(kernel);
    if (statusEx == nullptr) {
        printf("ERROR: unable to obtain entrypoint GlobalMemoryStatusEx in kernel32.dll\n");
        fflush(stdout);
        return;
    }
    jclass cls = env->GetObjectClass(self);
    // A failed call leaves the field as it was instead of reporting 0 bytes.
    if (read && cls != nullptr) {
        setLong(env, self, cls, "membytes", static_cast<jlong>(status.ullTotalPhys));
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_hostscout_process_ProcessDetectorImpl__1updateProcessStats(JNIEnv* env,
                                                                                                     jobject self)
{
    jclass cls = env->GetObjectClass(self);
    if (cls == nullptr) {
        return;
    }
    HANDLE process = GetCurrentProcess();
    unique_handle opened;
    bool measurable = true;
    // An object without a "pid" field leaves a lookup error pending; that
    // only means "this process".
    jfieldID pidField = env->GetFieldID(cls, "pid", "I");
    if (pidField == nullptr) {
        env->ExceptionClear();
    } else {
        jint pid = env->GetIntField(self, pidField);
        if (pid == 0) {
            env->ExceptionClear();
        } else {
            opened.reset(OpenProcess(QUERY_AND_READ, FALSE, static_cast<DWORD>(pid)));
            // A process that cannot be opened (ended, or not ours to read)
            // reads as sizes 0, not as the sizes of this process.
            measurable = static_cast<bool>(opened);
            process = opened.get();
        }
    }

    jlong residentKb = 0;
    jlong totalKb = 0;
    if (measurable) {
        PROCESS_MEMORY_COUNTERS counters;
        memset(&counters, 0, sizeof counters);
        if (GetProcessMemoryInfo(process, &counters, sizeof counters)) {
            residentKb = static_cast<jlong>(counters.WorkingSetSize >> 10);
            totalKb = static_cast<jlong>(counters.PeakWorkingSetSize >> 10);
        } else {
            printf("GetProcessMemoryInfo error=%08x\n", static_cast<unsigned>(GetLastError()));
            fflush(stdout);
        }
    }
    if (setLong(env, self, cls, "residentSizeKb", residentKb)) {
        setLong(env, self, cls, "totalSizeKb", totalKb);
    }
}

} // extern "C"
