// GcSentry's JNI side: the natives of com.qor.vt.mr.gcsentry.JvmtiGlobalGCDetector.
#include "com_qor_vt_mr_gcsentry_JvmtiGlobalGCDetector.h"
#include "gcsentry/gcsentry.h"

#include <cstdio>

// Sets the calling thread's interrupt status again. RawMonitorWait cleared it
// when it reported the interrupt; without this the interrupt would be lost to
// the Java caller. Called only once the raw monitor is released: a JNI call
// can block (class loading, a safepoint), and a thread that blocks while it
// holds the monitor would hold up gcFinish, which runs inside a collection.
static void restoreInterrupt(JNIEnv* env)
{
    jclass threadClass = env->FindClass("java/lang/Thread");
    if (threadClass == nullptr) {
        return; // the pending exception reaches the caller
    }
    jmethodID currentThread = env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;");
    jmethodID interrupt = currentThread != nullptr ? env->GetMethodID(threadClass, "interrupt", "()V") : nullptr;
    if (interrupt != nullptr) {
        jobject self = env->CallStaticObjectMethod(threadClass, currentThread);
        if (!env->ExceptionCheck() && self != nullptr) {
            env->CallVoidMethod(self, interrupt);
            env->ExceptionCheck();
            env->DeleteLocalRef(self);
        }
    }
    env->DeleteLocalRef(threadClass);
}

extern "C" JNIEXPORT jint JNICALL Java_com_qor_vt_mr_gcsentry_JvmtiGlobalGCDetector_init(JNIEnv* /*env*/,
                                                                                         jclass /*cls*/)
{
    return initializationStatus;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_qor_vt_mr_gcsentry_JvmtiGlobalGCDetector_waitForGCCompletion(JNIEnv* env,
                                                                                                         jclass /*cls*/)
{
    // Without a started agent there may be no environment and no monitor.
    if (initializationStatus != STATUS_STARTED) {
        return -1;
    }
    jvmtiError err = jvmti->RawMonitorEnter(gcsentryMonitor);
    if (err != JVMTI_ERROR_NONE) {
        fprintf(stderr, "MR: gcsentry: error entering monitor: %d\n", err);
    }
    // Holding the monitor from here to the wait means a collection that ends
    // meanwhile cannot be missed: gcFinish must take the monitor to count it.
    // The loop waits until the count moves, since a raw-monitor wait may also
    // return without any notification.
    const std::uint64_t start = gcCount;
    bool interrupted = false;
    while (gcCount == start) {
        err = jvmti->RawMonitorWait(gcsentryMonitor, 0);
        if (err != JVMTI_ERROR_NONE) {
            // An interrupt, or a monitor we do not own: either way, stop waiting.
            fprintf(stderr, "MR: gcsentry: error notifying monitor: %d\n", err);
            interrupted = err == JVMTI_ERROR_INTERRUPT;
            break;
        }
    }
    jlong used = heapUsed;
    err = jvmti->RawMonitorExit(gcsentryMonitor);
    if (err != JVMTI_ERROR_NONE) {
        fprintf(stderr, "MR: gcsentry: error exiting monitor: %d\n", err);
    }
    if (interrupted) {
        restoreInterrupt(env);
    }
    return used;
}
