// GcSentry's start-up: Agent_OnLoad, run once by the virtual machine before any
// Java code. It chooses the collection-end event that drives the agent and
// finds the heap extension functions; every failing step leaves its status in
// initializationStatus and makes the virtual machine refuse to start. Where
// the standard event drives the agent, vmInitCallback then looks once for the
// heap spaces' counters in the virtual machine's performance-data memory,
// which does not exist yet when Agent_OnLoad runs.
#include "gcsentry/gcsentry.h"

#include <cstdio>
#include <cstring>

static const char MONITOR_NAME[] = "mr_gcsentry_monitor";
static const char HEAP_FREE_ID[] = "com.qor.GetHeapFreeMemory";
static const char HEAP_TOTAL_ID[] = "com.qor.GetHeapTotalMemory";
static const char CYCLE_FINISH_ID[] = "com.qor.GarbageCollectionCycleFinish";

// The JVMTI 1.0 callback table has 35 entries (VMInit, event 50, to
// VMObjectAlloc, event 84). The agent hands over only that much, so a virtual
// machine of any later version reads the same table.
static constexpr jint JVMTI_1_0_CALLBACK_COUNT = 35;
static constexpr jint JVMTI_1_0_CALLBACKS_SIZE = JVMTI_1_0_CALLBACK_COUNT * static_cast<jint>(sizeof(void*));
static_assert(JVMTI_EVENT_GARBAGE_COLLECTION_FINISH - JVMTI_MIN_EVENT_TYPE_VAL < JVMTI_1_0_CALLBACK_COUNT);
static_assert(sizeof(jvmtiEventCallbacks) >= JVMTI_1_0_CALLBACKS_SIZE);

void failure(const char* name)
{
    fprintf(stderr, "MR: gcsentry: failed call to JVMTI %s\n", name);
}

static jint startupFailed(jint status, const char* name)
{
    failure(name);
    initializationStatus = status;
    return -1;
}

static void deallocate(void* memory)
{
    jvmti->Deallocate(static_cast<unsigned char*>(memory));
}

static void releaseParams(jint count, jvmtiParamInfo* params)
{
    for (jint i = 0; params != nullptr && i < count; i++) {
        deallocate(params[i].name);
    }
    deallocate(params);
}

static bool hasId(const char* id, const char* wanted)
{
    return id != nullptr && strcmp(id, wanted) == 0;
}

// Step 3: keeps the two heap functions and releases every description.
static bool findHeapFunctions()
{
    jint count = 0;
    jvmtiExtensionFunctionInfo* functions = nullptr;
    if (jvmti->GetExtensionFunctions(&count, &functions) != JVMTI_ERROR_NONE) {
        return false;
    }
    for (jint i = 0; functions != nullptr && i < count; i++) {
        jvmtiExtensionFunctionInfo& info = functions[i];
        if (hasId(info.id, HEAP_FREE_ID)) {
            freeHeapFcn = info.func;
        } else if (hasId(info.id, HEAP_TOTAL_ID)) {
            totalHeapFcn = info.func;
        }
        deallocate(info.id);
        deallocate(info.short_description);
        releaseParams(info.param_count, info.params);
        deallocate(info.errors);
    }
    deallocate(functions);
    return true;
}

// Step 4: the index of the first cycle-finish extension event, if the virtual
// machine offers one; every description is released.
static bool findCycleFinishEvent(bool* found, jint* index)
{
    jint count = 0;
    jvmtiExtensionEventInfo* events = nullptr;
    if (jvmti->GetExtensionEvents(&count, &events) != JVMTI_ERROR_NONE) {
        return false;
    }
    for (jint i = 0; events != nullptr && i < count; i++) {
        jvmtiExtensionEventInfo& info = events[i];
        if (!*found && hasId(info.id, CYCLE_FINISH_ID)) {
            *found = true;
            *index = info.extension_event_index;
        }
        deallocate(info.id);
        deallocate(info.short_description);
        releaseParams(info.param_count, info.params);
    }
    deallocate(events);
    return true;
}

void JNICALL vmInitCallback(jvmtiEnv* /*env*/, JNIEnv* /*jni*/, jthread /*thread*/)
{
    if (totalHeapFcn != nullptr && freeHeapFcn != nullptr) {
        return; // the heap functions give the figure
    }
    // Looked up outside the monitor: reading the process's mappings must not
    // hold up a collection that ends meanwhile.
    const volatile std::int64_t* used[PERFDATA_MAX_SPACES] = {};
    int count = perfdata_locateHeapSpaces(used);
    if (count == 0) {
        return;
    }
    jvmtiError err = jvmti->RawMonitorEnter(gcsentryMonitor);
    if (err != JVMTI_ERROR_NONE) {
        fprintf(stderr, "MR: gcsentry: error entering monitor: %d\n", err);
    }
    for (int i = 0; i < count; i++) {
        heapSpaceUsed[i] = used[i];
    }
    heapSpaceCount = count;
    err = jvmti->RawMonitorExit(gcsentryMonitor);
    if (err != JVMTI_ERROR_NONE) {
        fprintf(stderr, "MR: gcsentry: error exiting monitor: %d\n", err);
    }
}

jint JNICALL Agent_OnLoad(JavaVM* vm, char* /*options*/, void* /*reserved*/)
{
    void* env = nullptr;
    jint got = vm->GetEnv(&env, JVMTI_VERSION_1_0);
    jvmti = static_cast<jvmtiEnv*>(env);
    if (got != JNI_OK || jvmti == nullptr) {
        return startupFailed(STATUS_GET_ENV, "GetEnv");
    }
    if (jvmti->CreateRawMonitor(MONITOR_NAME, &gcsentryMonitor) != JVMTI_ERROR_NONE) {
        return startupFailed(STATUS_CREATE_RAW_MONITOR, "CreateRawMonitor");
    }
    if (!findHeapFunctions()) {
        return startupFailed(STATUS_GET_EXTENSION_FUNCTIONS, "GetExtensionFunctions");
    }

    bool found = false;
    jint eventIndex = 0;
    if (!findCycleFinishEvent(&found, &eventIndex)) {
        return startupFailed(STATUS_GET_EXTENSION_EVENTS, "GetExtensionEvents");
    }
    if (found) {
        // The extension event alone drives the agent: no capability is added
        // and the standard event stays off, so a collection is signalled once.
        if (jvmti->SetExtensionEventCallback(eventIndex, cadenzGCFinishCallback) != JVMTI_ERROR_NONE) {
            return startupFailed(STATUS_SET_EXTENSION_EVENT_CALLBACK, "SetExtensionEventCallback");
        }
        initializationStatus = STATUS_STARTED;
        return 0;
    }

    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof(capabilities));
    capabilities.can_generate_garbage_collection_events = 1;
    if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) {
        return startupFailed(STATUS_ADD_CAPABILITIES, "AddCapabilities");
    }

    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.GarbageCollectionFinish = standardGCFinishCallback;
    callbacks.VMInit = vmInitCallback;
    if (jvmti->SetEventCallbacks(&callbacks, JVMTI_1_0_CALLBACKS_SIZE) != JVMTI_ERROR_NONE) {
        return startupFailed(STATUS_SET_EVENT_CALLBACKS, "SetEventCallbacks");
    }
    if (jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_GARBAGE_COLLECTION_FINISH, nullptr) !=
            JVMTI_ERROR_NONE ||
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_INIT, nullptr) != JVMTI_ERROR_NONE) {
        return startupFailed(STATUS_SET_EVENT_NOTIFICATION_MODE, "SetEventNotificationMode");
    }
    initializationStatus = STATUS_STARTED;
    return 0;
}
