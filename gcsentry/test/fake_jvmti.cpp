// The test JVMTI environment (see fake_jvmti.h).
#include "gcsentry/test/fake_jvmti.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

FakeJvmti* self(jvmtiEnv* env)
{
    return FakeJvmti::of(env);
}

// The heap extension functions fill one jlong through their second argument.
jlong* jlongArgument(va_list args)
{
    return va_arg(args, jlong*);
}

jvmtiError JNICALL heapTotalFunction(jvmtiEnv* env, ...)
{
    va_list args;
    va_start(args, env);
    jlong* out = jlongArgument(args);
    va_end(args);
    self(env)->recordHeapCall("total");
    *out = self(env)->heapTotal;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL heapFreeFunction(jvmtiEnv* env, ...)
{
    va_list args;
    va_start(args, env);
    jlong* out = jlongArgument(args);
    va_end(args);
    self(env)->recordHeapCall("free");
    *out = self(env)->heapFree;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL otherExtensionFunction(jvmtiEnv* env, ...)
{
    self(env)->recordHeapCall("other");
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL Deallocate(jvmtiEnv* env, unsigned char* mem)
{
    self(env)->deallocate(mem);
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL CreateRawMonitor(jvmtiEnv* env, const char* name, jrawMonitorID* monitor)
{
    FakeJvmti* fake = self(env);
    if (jvmtiError err = fake->record("CreateRawMonitor"); err != JVMTI_ERROR_NONE) {
        return err;
    }
    fake->monitorName = name;
    *monitor = fake->monitorId();
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL RawMonitorEnter(jvmtiEnv* env, jrawMonitorID monitor)
{
    jvmtiError err = self(env)->monitorCall("RawMonitorEnter", monitor);
    return err != JVMTI_ERROR_NONE ? err : self(env)->enter();
}

jvmtiError JNICALL RawMonitorExit(jvmtiEnv* env, jrawMonitorID monitor)
{
    jvmtiError err = self(env)->monitorCall("RawMonitorExit", monitor);
    return err != JVMTI_ERROR_NONE ? err : self(env)->exit();
}

jvmtiError JNICALL RawMonitorWait(jvmtiEnv* env, jrawMonitorID monitor, jlong millis)
{
    jvmtiError err = self(env)->monitorCall("RawMonitorWait", monitor);
    if (err != JVMTI_ERROR_NONE) {
        return err;
    }
    if (millis != 0) {
        return JVMTI_ERROR_ILLEGAL_ARGUMENT; // the agent only ever waits without a time limit
    }
    return self(env)->wait();
}

jvmtiError JNICALL RawMonitorNotifyAll(jvmtiEnv* env, jrawMonitorID monitor)
{
    jvmtiError err = self(env)->monitorCall("RawMonitorNotifyAll", monitor);
    return err != JVMTI_ERROR_NONE ? err : self(env)->notifyAll();
}

void fillParams(FakeJvmti* fake, jint* count, jvmtiParamInfo** params)
{
    *count = 1;
    *params = static_cast<jvmtiParamInfo*>(fake->allocate(sizeof(jvmtiParamInfo)));
    (*params)[0].name = fake->copyString("value");
    (*params)[0].kind = JVMTI_KIND_OUT;
    (*params)[0].base_type = JVMTI_TYPE_JLONG;
    (*params)[0].null_ok = JNI_FALSE;
}

jvmtiError JNICALL GetExtensionFunctions(jvmtiEnv* env, jint* count, jvmtiExtensionFunctionInfo** extensions)
{
    FakeJvmti* fake = self(env);
    if (jvmtiError err = fake->record("GetExtensionFunctions"); err != JVMTI_ERROR_NONE) {
        return err;
    }
    const auto& ids = fake->extensionFunctionIds;
    *count = static_cast<jint>(ids.size());
    *extensions =
        static_cast<jvmtiExtensionFunctionInfo*>(fake->allocate(sizeof(jvmtiExtensionFunctionInfo) * ids.size()));
    for (size_t i = 0; i < ids.size(); i++) {
        jvmtiExtensionFunctionInfo& info = (*extensions)[i];
        info.func = ids[i] == FakeJvmti::HEAP_TOTAL_ID  ? heapTotalFunction
                    : ids[i] == FakeJvmti::HEAP_FREE_ID ? heapFreeFunction
                                                        : otherExtensionFunction;
        info.id = fake->copyString(ids[i]);
        info.short_description = fake->copyString("a test extension function");
        fillParams(fake, &info.param_count, &info.params);
        info.error_count = 1;
        info.errors = static_cast<jvmtiError*>(fake->allocate(sizeof(jvmtiError)));
        info.errors[0] = JVMTI_ERROR_NULL_POINTER;
    }
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL GetExtensionEvents(jvmtiEnv* env, jint* count, jvmtiExtensionEventInfo** extensions)
{
    FakeJvmti* fake = self(env);
    if (jvmtiError err = fake->record("GetExtensionEvents"); err != JVMTI_ERROR_NONE) {
        return err;
    }
    const auto& events = fake->extensionEvents;
    *count = static_cast<jint>(events.size());
    *extensions =
        static_cast<jvmtiExtensionEventInfo*>(fake->allocate(sizeof(jvmtiExtensionEventInfo) * events.size()));
    for (size_t i = 0; i < events.size(); i++) {
        jvmtiExtensionEventInfo& info = (*extensions)[i];
        info.extension_event_index = events[i].index;
        info.id = fake->copyString(events[i].id);
        info.short_description = fake->copyString("a test extension event");
        fillParams(fake, &info.param_count, &info.params);
    }
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL SetExtensionEventCallback(jvmtiEnv* env, jint index, jvmtiExtensionEvent callback)
{
    FakeJvmti* fake = self(env);
    if (jvmtiError err = fake->record("SetExtensionEventCallback"); err != JVMTI_ERROR_NONE) {
        return err;
    }
    fake->extensionCallbackIndex = index;
    fake->extensionCallback = callback;
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL AddCapabilities(jvmtiEnv* env, const jvmtiCapabilities* capabilities)
{
    FakeJvmti* fake = self(env);
    if (jvmtiError err = fake->record("AddCapabilities"); err != JVMTI_ERROR_NONE) {
        return err;
    }
    auto* into = reinterpret_cast<unsigned char*>(&fake->capabilities);
    const auto* from = reinterpret_cast<const unsigned char*>(capabilities);
    for (size_t i = 0; i < sizeof(jvmtiCapabilities); i++) {
        into[i] |= from[i];
    }
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL SetEventCallbacks(jvmtiEnv* env, const jvmtiEventCallbacks* callbacks, jint size)
{
    FakeJvmti* fake = self(env);
    if (jvmtiError err = fake->record("SetEventCallbacks"); err != JVMTI_ERROR_NONE) {
        return err;
    }
    if (size < 0 || static_cast<size_t>(size) > sizeof(jvmtiEventCallbacks)) {
        return JVMTI_ERROR_ILLEGAL_ARGUMENT;
    }
    fake->callbacksSize = size;
    fake->callbackSlots.assign(static_cast<size_t>(size) / sizeof(void*), nullptr);
    memcpy(fake->callbackSlots.data(), callbacks, fake->callbackSlots.size() * sizeof(void*));
    return JVMTI_ERROR_NONE;
}

jvmtiError JNICALL SetEventNotificationMode(jvmtiEnv* env, jvmtiEventMode mode, jvmtiEvent event, jthread thread, ...)
{
    FakeJvmti* fake = self(env);
    if (jvmtiError err = fake->record("SetEventNotificationMode"); err != JVMTI_ERROR_NONE) {
        return err;
    }
    fake->notificationModes.push_back({mode, event, thread});
    return JVMTI_ERROR_NONE;
}

} // namespace

FakeJvmti::FakeJvmti()
{
    table_.Deallocate = Deallocate;
    table_.CreateRawMonitor = CreateRawMonitor;
    table_.RawMonitorEnter = RawMonitorEnter;
    table_.RawMonitorExit = RawMonitorExit;
    table_.RawMonitorWait = RawMonitorWait;
    table_.RawMonitorNotifyAll = RawMonitorNotifyAll;
    table_.GetExtensionFunctions = GetExtensionFunctions;
    table_.GetExtensionEvents = GetExtensionEvents;
    table_.SetExtensionEventCallback = SetExtensionEventCallback;
    table_.AddCapabilities = AddCapabilities;
    table_.SetEventCallbacks = SetEventCallbacks;
    table_.SetEventNotificationMode = SetEventNotificationMode;
    env_.base.functions = &table_;
    env_.self = this;
    vmTable_.GetEnv = GetEnv;
    vm_.base.functions = &vmTable_;
    vm_.self = this;
}

FakeJvmti::~FakeJvmti()
{
    for (void* memory : allocations_) {
        free(memory);
    }
}

FakeJvmti* FakeJvmti::of(jvmtiEnv* env)
{
    return reinterpret_cast<EnvHolder*>(env)->self;
}

jint JNICALL FakeJvmti::GetEnv(JavaVM* vm, void** penv, jint version)
{
    FakeJvmti* fake = reinterpret_cast<VmHolder*>(vm)->self;
    fake->record("GetEnv");
    fake->requestedVersion = version;
    *penv = fake->getEnvResult == JNI_OK && !fake->getEnvGivesNull ? fake->env() : nullptr;
    return fake->getEnvResult;
}

jvmtiError FakeJvmti::record(const char* function)
{
    std::lock_guard lock(mutex_);
    calls_.emplace_back(function);
    auto it = failing.find(function);
    return it != failing.end() ? it->second : JVMTI_ERROR_NONE;
}

jvmtiError FakeJvmti::monitorCall(const char* function, jrawMonitorID monitor)
{
    std::lock_guard lock(mutex_);
    monitorCalls_++;
    if (monitor != monitorId()) {
        return JVMTI_ERROR_INVALID_MONITOR;
    }
    auto it = failing.find(function);
    return it != failing.end() ? it->second : JVMTI_ERROR_NONE;
}

std::vector<std::string> FakeJvmti::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> FakeJvmti::heapCalls() const
{
    std::lock_guard lock(mutex_);
    return heapCalls_;
}

size_t FakeJvmti::liveAllocations() const
{
    std::lock_guard lock(mutex_);
    return allocations_.size();
}

int FakeJvmti::foreignDeallocations() const
{
    std::lock_guard lock(mutex_);
    return foreignDeallocations_;
}

int FakeJvmti::monitorCalls() const
{
    std::lock_guard lock(mutex_);
    return monitorCalls_;
}

void FakeJvmti::recordHeapCall(const char* which)
{
    std::lock_guard lock(mutex_);
    heapCalls_.emplace_back(which);
}

char* FakeJvmti::copyString(const std::string& text)
{
    auto* copy = static_cast<char*>(allocate(text.size() + 1));
    memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void* FakeJvmti::allocate(size_t size)
{
    void* memory = malloc(size == 0 ? 1 : size);
    std::lock_guard lock(mutex_);
    allocations_.insert(memory);
    return memory;
}

void FakeJvmti::deallocate(void* memory)
{
    if (memory == nullptr) {
        return; // JVMTI allows it
    }
    std::lock_guard lock(mutex_);
    if (allocations_.erase(memory) == 0) {
        foreignDeallocations_++;
        return;
    }
    free(memory);
}

void FakeJvmti::collectionEnds()
{
    jvmtiExtensionEvent extension = nullptr;
    jvmtiEventGarbageCollectionFinish standard = nullptr;
    {
        std::lock_guard lock(mutex_);
        extension = extensionCallback;
        bool enabled = false;
        for (const auto& m : notificationModes) {
            if (m.event == JVMTI_EVENT_GARBAGE_COLLECTION_FINISH && m.thread == nullptr) {
                enabled = m.mode == JVMTI_ENABLE;
            }
        }
        size_t slot = JVMTI_EVENT_GARBAGE_COLLECTION_FINISH - JVMTI_MIN_EVENT_TYPE_VAL;
        if (enabled && capabilities.can_generate_garbage_collection_events && slot < callbackSlots.size()) {
            standard = reinterpret_cast<jvmtiEventGarbageCollectionFinish>(callbackSlots[slot]);
        }
    }
    if (extension != nullptr) {
        // An extension event hands the environment and then its own arguments.
        extension(env(), static_cast<jint>(1), static_cast<jlong>(2));
        std::lock_guard lock(mutex_);
        extensionFired_++;
    }
    if (standard != nullptr) {
        standard(env());
        std::lock_guard lock(mutex_);
        standardFired_++;
    }
}

void FakeJvmti::vmInit()
{
    jvmtiEventVMInit callback = nullptr;
    {
        std::lock_guard lock(mutex_);
        bool enabled = false;
        for (const auto& m : notificationModes) {
            if (m.event == JVMTI_EVENT_VM_INIT && m.thread == nullptr) {
                enabled = m.mode == JVMTI_ENABLE;
            }
        }
        if (enabled && !callbackSlots.empty()) {
            callback = reinterpret_cast<jvmtiEventVMInit>(callbackSlots[0]);
        }
    }
    if (callback != nullptr) {
        callback(env(), nullptr, nullptr);
    }
}

int FakeJvmti::extensionFired() const
{
    std::lock_guard lock(mutex_);
    return extensionFired_;
}

int FakeJvmti::standardFired() const
{
    std::lock_guard lock(mutex_);
    return standardFired_;
}

// The raw monitor: reentrant, owned by one thread at a time; a wait gives it
// up completely and takes it back with the same entry count.

jvmtiError FakeJvmti::enter()
{
    std::unique_lock lock(mutex_);
    auto me = std::this_thread::get_id();
    changed_.wait(lock, [&] { return monitorOwner_ == std::thread::id() || monitorOwner_ == me; });
    monitorOwner_ = me;
    monitorEntries_++;
    return JVMTI_ERROR_NONE;
}

jvmtiError FakeJvmti::exit()
{
    std::lock_guard lock(mutex_);
    if (monitorOwner_ != std::this_thread::get_id()) {
        return JVMTI_ERROR_NOT_MONITOR_OWNER;
    }
    if (--monitorEntries_ == 0) {
        monitorOwner_ = std::thread::id();
        changed_.notify_all();
    }
    return JVMTI_ERROR_NONE;
}

jvmtiError FakeJvmti::wait()
{
    std::unique_lock lock(mutex_);
    auto me = std::this_thread::get_id();
    if (monitorOwner_ != me) {
        return JVMTI_ERROR_NOT_MONITOR_OWNER;
    }
    waitCalls_++;
    if (interruptPending_) {
        // As HotSpot does, an interrupt that came before the wait ends it at once.
        interruptPending_ = false;
        return JVMTI_ERROR_INTERRUPT;
    }
    int entries = monitorEntries_;
    monitorOwner_ = std::thread::id();
    monitorEntries_ = 0;
    waiting_++;
    changed_.notify_all();
    std::uint64_t seen = notifications_;
    changed_.wait(lock, [&] { return notifications_ != seen || spuriousWakeups_ > 0 || interruptPending_; });
    jvmtiError result = JVMTI_ERROR_NONE;
    if (notifications_ == seen) {
        if (interruptPending_) {
            interruptPending_ = false;
            result = JVMTI_ERROR_INTERRUPT;
        } else {
            spuriousWakeups_--;
        }
    }
    waiting_--;
    changed_.wait(lock, [&] { return monitorOwner_ == std::thread::id(); });
    monitorOwner_ = me;
    monitorEntries_ = entries;
    changed_.notify_all();
    return result;
}

jvmtiError FakeJvmti::notifyAll()
{
    std::lock_guard lock(mutex_);
    if (monitorOwner_ != std::this_thread::get_id()) {
        return JVMTI_ERROR_NOT_MONITOR_OWNER;
    }
    notifications_++;
    changed_.notify_all();
    return JVMTI_ERROR_NONE;
}

int FakeJvmti::waiting() const
{
    std::lock_guard lock(mutex_);
    return waiting_;
}

int FakeJvmti::waitCalls() const
{
    std::lock_guard lock(mutex_);
    return waitCalls_;
}

bool FakeJvmti::held() const
{
    std::lock_guard lock(mutex_);
    return monitorOwner_ != std::thread::id();
}

bool FakeJvmti::heldByCurrentThread() const
{
    std::lock_guard lock(mutex_);
    return monitorOwner_ == std::this_thread::get_id();
}

void FakeJvmti::wakeSpuriously()
{
    std::lock_guard lock(mutex_);
    spuriousWakeups_++;
    changed_.notify_all();
}

void FakeJvmti::interruptWaiter()
{
    std::lock_guard lock(mutex_);
    interruptPending_ = true;
    changed_.notify_all();
}
