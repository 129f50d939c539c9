// A fresh copy of libGcSentry.so for one test. The library's module state is
// set once and never reset, so each test loads the library from a path of its
// own: the dynamic loader then maps a new instance with the initial state
// (initializationStatus 1, no monitor, heapUsed -1). The exports are looked up
// by their plain names, as a virtual machine would.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <string>

class LoadedAgent {
  public:
    LoadedAgent();
    ~LoadedAgent();
    LoadedAgent(const LoadedAgent&) = delete;
    LoadedAgent& operator=(const LoadedAgent&) = delete;

    jint(JNICALL* Agent_OnLoad)(JavaVM*, char*, void*) = nullptr;
    jint(JNICALL* init)(JNIEnv*, jclass) = nullptr;
    jlong(JNICALL* waitForGCCompletion)(JNIEnv*, jclass) = nullptr;
    void(JNICALL* cadenzGCFinishCallback)(jvmtiEnv*, ...) = nullptr;
    void(JNICALL* standardGCFinishCallback)(jvmtiEnv*) = nullptr;
    void (*gcFinish)() = nullptr;
    void (*failure)(const char*) = nullptr;

  private:
    void* lookup(const char* name);
    void* handle_ = nullptr;
};

// Everything written to file descriptor 2 between construction and text(),
// from any thread.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Stops capturing and returns what was written.
    std::string text();

  private:
    int saved_ = -1;
    int file_ = -1;
};
