// The handles Java holds for process records.
//
// A handle is a number that names a live record, never the record's address,
// and no number is issued twice.  A handle that was never issued, or that has
// been released, names nothing: the entry points refuse it without reading
// anything behind it.  Every call on a handle counts as a use of its record;
// releasing the handle refuses new calls at once, and the record is destroyed
// when the last call that was already running returns.
#pragma once

#include <jni.h>

extern "C" {

// A new handle for the record, which `destroy` releases once the handle has
// been retired and no call uses it any more; 0 when memory runs out.
JNIEXPORT jlong process_IssueHandle(void* record, void (*destroy)(void*));
// The same for a record that is still being made: the handle names nothing
// (no call can use or retire it) until process_PublishHandle.
JNIEXPORT jlong process_ReserveHandle(void* record, void (*destroy)(void*));
JNIEXPORT void process_PublishHandle(jlong handle);
// The record of a live handle, in use until process_EndHandleUse; null when
// the number names no live handle.
JNIEXPORT void* process_BeginHandleUse(jlong handle);
JNIEXPORT void process_EndHandleUse(jlong handle);
// Retires the handle: 1, or 0 when the number names no live handle.
JNIEXPORT int process_RetireHandle(jlong handle);
}

// The record of a handle, in use for the lifetime of this object; null when
// the handle names no live record.
class ProcessHandleUse {
  public:
    explicit ProcessHandleUse(jlong handle) : handle_(handle), record_(process_BeginHandleUse(handle)) {}
    ~ProcessHandleUse()
    {
        if (record_ != nullptr) {
            process_EndHandleUse(handle_);
        }
    }
    ProcessHandleUse(const ProcessHandleUse&) = delete;
    ProcessHandleUse& operator=(const ProcessHandleUse&) = delete;
    template <typename T> T* record() const { return static_cast<T*>(record_); }

  private:
    jlong handle_;
    void* record_;
};
