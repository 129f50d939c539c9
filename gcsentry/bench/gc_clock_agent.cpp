// A benchmark-only JVMTI agent: it stamps the end of every collection on the
// clock that System.nanoTime reads, so that the benchmark can tell how long
// after that moment a waiting thread or a JMX listener runs.
//
// Loaded with -agentpath before libGcSentry.so: the virtual machine posts an
// event to its environments in the order they were created, so the stamp is
// taken before GcSentry notifies its waiters.
#include <jni.h>
#include <jvmti.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

static std::atomic<jlong> lastFinishNanos{0};
static std::atomic<jlong> finishCount{0};

// Runs inside the collection-end event: no JNI here.
static void JNICALL onGarbageCollectionFinish(jvmtiEnv* /*env*/)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    lastFinishNanos.store(static_cast<jlong>(now.tv_sec) * 1000000000LL + now.tv_nsec, std::memory_order_relaxed);
    finishCount.fetch_add(1, std::memory_order_release);
}

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* /*options*/, void* /*reserved*/)
{
    void* env = nullptr;
    if (vm->GetEnv(&env, JVMTI_VERSION_1_2) != JNI_OK || env == nullptr) {
        fprintf(stderr, "gc clock: no JVMTI environment\n");
        return -1;
    }
    auto* jvmti = static_cast<jvmtiEnv*>(env);
    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof(capabilities));
    capabilities.can_generate_garbage_collection_events = 1;
    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.GarbageCollectionFinish = onGarbageCollectionFinish;
    if (jvmti->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE ||
        jvmti->SetEventCallbacks(&callbacks, sizeof(callbacks)) != JVMTI_ERROR_NONE ||
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_GARBAGE_COLLECTION_FINISH, nullptr) !=
            JVMTI_ERROR_NONE) {
        fprintf(stderr, "gc clock: cannot enable GarbageCollectionFinish\n");
        return -1;
    }
    return 0;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_gcsentry_bench_GcClock_finishCount(JNIEnv* /*env*/,
                                                                                         jclass /*cls*/)
{
    return finishCount.load(std::memory_order_acquire);
}

extern "C" JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_gcsentry_bench_GcClock_lastFinishNanos(JNIEnv* /*env*/,
                                                                                             jclass /*cls*/)
{
    return lastFinishNanos.load(std::memory_order_relaxed);
}
