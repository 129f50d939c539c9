// A JNI environment of our own for the natives' tests: the few functions
// waitForGCCompletion may call to set the thread's interrupt status again,
// each recording its call and whether the test JVMTI environment's raw monitor
// was held by the calling thread at that moment. Any other JNI function is
// missing from the table, so calling one crashes the test.
#pragma once

#include "gcsentry/test/fake_jvmti.h"

#include <jni.h>

#include <mutex>
#include <string>
#include <vector>

class FakeJni {
  public:
    explicit FakeJni(const FakeJvmti& jvmti);
    FakeJni(const FakeJni&) = delete;
    FakeJni& operator=(const FakeJni&) = delete;

    JNIEnv* env() { return &env_.base; }

    // The JNI calls made, in order, as "Function argument".
    std::vector<std::string> calls() const;
    // JNI calls made while the calling thread held the raw monitor.
    int callsUnderMonitor() const;
    // Thread.currentThread().interrupt() was called.
    bool interruptSet() const;

    // Called by the table's functions.
    static FakeJni* of(JNIEnv* env);
    void record(const std::string& call);
    void setInterrupt();

  private:
    struct EnvHolder {
        JNIEnv_ base;
        FakeJni* self;
    };
    const FakeJvmti& jvmti_;
    JNINativeInterface_ table_{};
    EnvHolder env_{};
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    int callsUnderMonitor_ = 0;
    bool interruptSet_ = false;
};
