// A JVMTI environment of our own for the agent's tests: the functions the
// agent calls, backed by plain C++ state; a switch per function that makes it
// answer an error; extension functions and events that no virtual machine here
// offers; and one raw monitor whose waits can be woken without a notification
// or interrupted, as a real one can.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct FakeExtensionEvent {
    jint index;
    std::string id;
};

struct FakeNotificationMode {
    jvmtiEventMode mode;
    jvmtiEvent event;
    jthread thread;
};

class FakeJvmti {
  public:
    static constexpr const char* HEAP_TOTAL_ID = "com.qor.GetHeapTotalMemory";
    static constexpr const char* HEAP_FREE_ID = "com.qor.GetHeapFreeMemory";
    static constexpr const char* CYCLE_FINISH_ID = "com.qor.GarbageCollectionCycleFinish";

    FakeJvmti();
    ~FakeJvmti();
    FakeJvmti(const FakeJvmti&) = delete;
    FakeJvmti& operator=(const FakeJvmti&) = delete;

    // A Java VM whose GetEnv hands out this environment.
    JavaVM* vm() { return &vm_.base; }
    jvmtiEnv* env() { return &env_.base; }
    static FakeJvmti* of(jvmtiEnv* env);

    // --- Set before Agent_OnLoad runs.
    jint getEnvResult = JNI_OK;
    bool getEnvGivesNull = false;
    // JVMTI function name (for example "AddCapabilities") -> the error it answers.
    std::map<std::string, jvmtiError> failing;
    // The extension functions, in the order the virtual machine lists them. The
    // two heap ids come with working heap functions; any other id with a stub.
    std::vector<std::string> extensionFunctionIds;
    std::vector<FakeExtensionEvent> extensionEvents;
    jlong heapTotal = 0;
    jlong heapFree = 0;

    // --- What the agent asked for.
    jint requestedVersion = 0;
    std::string monitorName;
    jvmtiCapabilities capabilities{}; // all capabilities added, together
    jint callbacksSize = -1;          // -1: SetEventCallbacks never called
    std::vector<void*> callbackSlots; // the table as given, one entry per pointer
    std::vector<FakeNotificationMode> notificationModes;
    jint extensionCallbackIndex = 0;
    jvmtiExtensionEvent extensionCallback = nullptr;

    // The start-up functions called, in order (Deallocate and the raw-monitor
    // functions are counted apart).
    std::vector<std::string> calls() const;
    // "total" and "free" for each call of a heap function, in order.
    std::vector<std::string> heapCalls() const;
    // Memory handed out by the extension queries and not yet deallocated.
    size_t liveAllocations() const;
    int foreignDeallocations() const;
    int monitorCalls() const;

    // --- The virtual machine's side: the end of one collection, as at the end
    // of a pause. Fires the registered extension callback, and the standard
    // GarbageCollectionFinish callback when the agent has set it, enabled the
    // event and holds the capability; each at most once.
    void collectionEnds();
    // The end of the virtual machine's start-up: fires the VMInit callback when
    // the agent has set it and enabled the event.
    void vmInit();
    int extensionFired() const;
    int standardFired() const;

    // --- The raw monitor.
    int waiting() const;   // threads inside RawMonitorWait now
    int waitCalls() const; // RawMonitorWait calls so far
    bool held() const;
    bool heldByCurrentThread() const;
    // The next wait, or one in progress, returns JVMTI_ERROR_NONE although
    // nobody notified.
    void wakeSpuriously();
    // The next wait, or one in progress, returns JVMTI_ERROR_INTERRUPT.
    void interruptWaiter();

    // Called by the table's functions.
    jvmtiError record(const char* function);
    jvmtiError monitorCall(const char* function, jrawMonitorID monitor);
    jvmtiError enter();
    jvmtiError exit();
    jvmtiError wait();
    jvmtiError notifyAll();
    char* copyString(const std::string& text);
    void* allocate(size_t size);
    void deallocate(void* memory);
    void recordHeapCall(const char* which);
    jrawMonitorID monitorId() { return reinterpret_cast<jrawMonitorID>(&monitorOwner_); }

  private:
    struct EnvHolder {
        _jvmtiEnv base;
        FakeJvmti* self;
    };
    struct VmHolder {
        JavaVM_ base;
        FakeJvmti* self;
    };
    static jint JNICALL GetEnv(JavaVM* vm, void** penv, jint version);

    jvmtiInterface_1_ table_{};
    JNIInvokeInterface_ vmTable_{};
    EnvHolder env_{};
    VmHolder vm_{};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::vector<std::string> heapCalls_;
    std::set<void*> allocations_;
    int foreignDeallocations_ = 0;
    int monitorCalls_ = 0;
    int extensionFired_ = 0;
    int standardFired_ = 0;

    std::thread::id monitorOwner_;
    int monitorEntries_ = 0;
    std::uint64_t notifications_ = 0;
    int waiting_ = 0;
    int waitCalls_ = 0;
    int spuriousWakeups_ = 0;
    bool interruptPending_ = false;
};
