// GcSentry: the module state shared by the agent's start-up, its
// collection-end callbacks and the JvmtiGlobalGCDetector natives, and the
// routines the library exports under their plain names.
//
// The source is the same for every build: it uses only JNI, JVMTI and the C
// library, so that the 32-bit Windows build compiles it unchanged. Agent_OnLoad
// and the natives are exported everywhere; whether the callbacks, gcFinish and
// failure are exported too is the build's choice, made in CMake through
// GCSENTRY_ROUTINE (JNIEXPORT where they are, empty where they are not).
#pragma once

#include "gcsentry/perfdata.h"

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

// Outcome of Agent_OnLoad, as init() hands it to Java.
constexpr jint STATUS_STARTED = 0;
constexpr jint STATUS_NOT_LOADED = 1;
constexpr jint STATUS_GET_ENV = 2;
constexpr jint STATUS_CREATE_RAW_MONITOR = 3;
constexpr jint STATUS_GET_EXTENSION_FUNCTIONS = 4;
constexpr jint STATUS_GET_EXTENSION_EVENTS = 5;
constexpr jint STATUS_SET_EXTENSION_EVENT_CALLBACK = 6;
constexpr jint STATUS_ADD_CAPABILITIES = 7;
constexpr jint STATUS_SET_EVENT_CALLBACKS = 8;
constexpr jint STATUS_SET_EVENT_NOTIFICATION_MODE = 9;

// Module state (hidden; see gcsentry_state.cpp for what each one means).
extern jint initializationStatus;
extern jvmtiExtensionFunction freeHeapFcn;
extern jvmtiExtensionFunction totalHeapFcn;
extern jlong heapUsed;
extern jrawMonitorID gcsentryMonitor;
extern jvmtiEnv* jvmti;
extern std::uint64_t gcCount;
extern const volatile std::int64_t* heapSpaceUsed[PERFDATA_MAX_SPACES];
extern int heapSpaceCount;

extern "C" {
// Agent_OnLoad is declared by jvmti.h; the natives by the header javac writes.
GCSENTRY_ROUTINE void JNICALL cadenzGCFinishCallback(jvmtiEnv* env, ...);
GCSENTRY_ROUTINE void JNICALL standardGCFinishCallback(jvmtiEnv* env);
GCSENTRY_ROUTINE void gcFinish();
// Not exported: the virtual machine finds it in the event callback table.
void JNICALL vmInitCallback(jvmtiEnv* env, JNIEnv* jni, jthread thread);
GCSENTRY_ROUTINE void failure(const char* name);
}
