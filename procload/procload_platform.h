// What each platform's folder (linux/, win32/) provides to the code the two
// builds share (the slot table, the diagnostics and procload_natives.cpp):
// its definitions, and the function set declared below, which the platform's
// slot_parts.cpp, sampler and procload_glue.cpp define. CMake compiles one
// platform folder; the definitions of that platform are the ones named here.
#pragma once

// The definitions: PROCLOAD_INTERNAL (whether the library exports its
// internal routines by their own names), the slot record LastProcessSlot, the
// table size PROCESS_ID_MAX_SIZE, FULL_TABLE_ALWAYS_REPORTED and the size of
// a descendant listing, DESCENDANTS_MAX_SIZE.
#if defined(_WIN32)
#include "procload/win32/descendants.h"
#include "procload/win32/procload_export.h"
#include "procload/win32/procload_slot.h"
#else
#include "procload/linux/descendants.h"
#include "procload/linux/procload_export.h"
#include "procload/linux/procload_slot.h"
#endif

#include <cstdint>
#include <jni.h>

// The slot table's needs: give a slot to pid, clear a free slot before reuse,
// and the liveness probe (processId while that process runs, else 0).
void initialiseSlot(LastProcessSlot* slot, int32_t pid);
void clearSlot(LastProcessSlot* slot);

extern "C" {
PROCLOAD_INTERNAL int32_t confirmProcessActive(int32_t processId);

// The ids of the calling process and thread (a handle its clock can be read
// through), and CPU time in seconds of a thread and of a whole process; 0
// when it cannot be read.
PROCLOAD_INTERNAL int32_t getProcessId();
PROCLOAD_INTERNAL int64_t getThreadId();
PROCLOAD_INTERNAL double RTP_getThreadCPU_Ticks(int32_t processId, int64_t thread);
PROCLOAD_INTERNAL double RTP_getProcLoad_Ticks(int32_t processId);

// The load samples of a batch of processes, in percent of the machine:
// since each one's creation (or start of measurement), or since its previous
// since-last-call sample.
PROCLOAD_INTERNAL void getProcLoad(int32_t size, const int32_t* processIDs, double* procLoad);
PROCLOAD_INTERNAL void getProcLoadLast(int32_t size, const int32_t* processIDs, double* procLoad);

// Writes at most maximum (and at most DESCENDANTS_MAX_SIZE) ids of the
// processes processID started into ids; answers how many.
PROCLOAD_INTERNAL int32_t getProcessId_Descendants(int32_t processID, int32_t maximum, int32_t* ids);
}

// The labels of the natives that log under other names on each platform.
struct NativeLabels {
    const char* enableDebugMode;   // nativeEnableDebugMode
    const char* procLoad;          // nativeGetProcLoad(long, int)
    const char* procLoadLast;      // nativeGetProcLoadLast(long, int)
    const char* procLoadLastBatch; // nativeGetProcLoadLast(long[], int[])
};
extern const NativeLabels nativeLabels;

// What JNI_OnLoad does beyond noting the process and thread ids.
void loadPlatform();

// Whole nanoseconds from the seconds of CPU time a clock reader answered; 0
// when that is not a number.
jlong cpuSecondsToNanos(double seconds);

// The static hardware-information entries, HARDWARE_INFO_STATIC_SIZE of them.
void answerHardwareInfoStatic(jlong* answer);

// The dynamic answer, HARDWARE_INFO_DYNAMIC_SIZE entries, to the request
// asked (the entries a request does not have are -1).
void answerHardwareInfoDynamic(const jlong* asked, jlong* answer);

// The raw container figures, CONTAINER_INFO_SIZE entries.
void answerContainerInfo(jlong* answer);
