// The natives of com.qor.vt.mr.rlm.procload.ProcLoad whose marshalling is the
// same on every platform are in procload_natives.cpp, with the load hook. Each
// platform's procload_glue.cpp holds the natives that work differently there
// and provides what the shared ones ask of it (procload_platform.h).
#pragma once

#include <jni.h>

constexpr jsize HARDWARE_INFO_STATIC_SIZE = 21;
constexpr jsize HARDWARE_INFO_DYNAMIC_SIZE = 80;

// The raw container figures, by index; -1 for each that does not apply.
constexpr jsize CONTAINER_CPU_QUOTA = 0;          // microseconds per period
constexpr jsize CONTAINER_CPU_PERIOD = 1;         // microseconds
constexpr jsize CONTAINER_CPU_USAGE = 2;          // nanoseconds
constexpr jsize CONTAINER_MEMORY_LIMIT = 3;       // bytes
constexpr jsize CONTAINER_MEMORY_USAGE = 4;       // bytes
constexpr jsize CONTAINER_MEMORY_WORKING_SET = 5; // bytes
constexpr jsize CONTAINER_INFO_SIZE = 6;

#define PROCLOAD_PREFIX "Java_com_qor_vt_mr_rlm_procload_ProcLoad_"

// The debug line "ProcLoad <label> <text>".
void logEnterExit(const char* label, const char* text);

// Prints an "out of memory" line whatever the debug level and drops the
// pending OutOfMemoryError: these entry points answer null instead.
void outOfMemory(JNIEnv* env, const char* label, const char* text);
