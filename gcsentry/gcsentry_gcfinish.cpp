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

// The heap in use from the spaces' used counters: each is one aligned 64-bit
// value that the collector has brought up to date before it posts the end of
// the collection. Read in place; nothing is allocated and no lock is taken.
static jlong spacesUsed()
{
    std::uint64_t sum = 0;
    for (int i = 0; i < heapSpaceCount; i++) {
        sum += static_cast<std::uint64_t>(*heapSpaceUsed[i]);
    }
    return static_cast<jlong>(sum);
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
    } else if (heapSpaceCount > 0) {
        heapUsed = spacesUsed();
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
