// GcSentry's collection end: the two event callbacks and gcFinish, which wakes
// every thread waiting in waitForGCCompletion.
//
// These run inside the virtual machine's collection-end event, on a thread of
// the collector while Java threads are stopped. JVMTI allows raw-monitor
// functions there but no JNI function at all, so nothing below calls JNI.
#include "gcsentry/gcsentry.h"

#include <cstdio>

void JNICALL cadenzGCFinishCallback(jvmtiEnv* /*env*/, ...)
{
    gcFinish();
}

void JNICALL standardGCFinishCallback(jvmtiEnv* /*env*/)
{
    gcFinish();
}

void gcFinish()
{
    if (gcsentryMonitor == nullptr) {
        return; // the agent never started: nobody can be waiting
    }
    jvmtiError err = jvmti->RawMonitorEnter(gcsentryMonitor);
    if (err != JVMTI_ERROR_NONE) {
        fprintf(stderr, "MR: gcsentry: error entering monitor: %d\n", err);
    }
    if (totalHeapFcn != nullptr && freeHeapFcn != nullptr) {
        jlong total = 0;
        jlong free = 0;
        totalHeapFcn(jvmti, &total);
        freeHeapFcn(jvmti, &free);
        // In 64 bits, wrapping rather than overflowing should the virtual
        // machine ever report more free than total heap.
        heapUsed = static_cast<jlong>(static_cast<std::uint64_t>(total) - static_cast<std::uint64_t>(free));
    }
    gcCount++;
    err = jvmti->RawMonitorNotifyAll(gcsentryMonitor);
    if (err != JVMTI_ERROR_NONE) {
        fprintf(stderr, "MR: gcsentry: error notifying monitor: %d\n", err);
    }
    err = jvmti->RawMonitorExit(gcsentryMonitor);
    if (err != JVMTI_ERROR_NONE) {
        fprintf(stderr, "MR: gcsentry: error exiting monitor: %d\n", err);
    }
}
