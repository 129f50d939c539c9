// Diagnostic log of the process-control library.
//
// Off unless the server's environment switches it on.  Every message becomes
// one stamped line on standard output, flushed at once.  Message texts carry
// their own trailing newline.
#pragma once

#include <jni.h>

extern "C" {

JNIEXPORT void process_log_init_dbg(void);
JNIEXPORT void process_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
JNIEXPORT void process_log_entry(const char* traceName);
JNIEXPORT void process_log_exit(const char* traceName);
JNIEXPORT int process_log_is_dbg_enabled(void);
JNIEXPORT int process_log_is_entryexit_enabled(void);
}

// Shared between the common writer and the platform's initialisation.  Set
// only while the initialisation lock is held; never cleared once set.
extern int __proc_dbg_enabled;       // NOLINT(bugprone-reserved-identifier)
extern int __proc_entryexit_enabled; // NOLINT(bugprone-reserved-identifier)

// The platform's identity of the calling thread and the pid to print.
unsigned int process_log_thread_id(void);
long process_log_pid(void);

// Sizes of the log's working buffers.
constexpr int PROCESS_LOG_MESSAGE_SIZE = 1948;
constexpr int PROCESS_LOG_LINE_SIZE = 2048;

// Writes the entry line of a traced operation now and its exit line when the
// scope ends, so every return path is traced.
class ProcessTrace {
  public:
    explicit ProcessTrace(const char* name) : name_(name) { process_log_entry(name_); }
    ~ProcessTrace() { process_log_exit(name_); }
    ProcessTrace(const ProcessTrace&) = delete;
    ProcessTrace& operator=(const ProcessTrace&) = delete;

  private:
    const char* name_;
};
