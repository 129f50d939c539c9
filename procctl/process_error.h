// Result codes of the process-control operations and their report to Java.
//
// Internal operations return one of these codes and fill a system-error
// out-parameter with the operating system's error number, or 0.  Only the JNI
// entry points turn a nonzero code into a Java exception, with ThrowException.
#pragma once

#include <cstddef>
#include <jni.h>

enum ProcResult : unsigned int {
    PROC_SUCCESS = 0,
    PROC_INVALID_PRIORITY = 1,
    PROC_INVALID_GROUP = 2,
    PROC_INVALID_USERNAME = 3,
    PROC_INVALID_DIRECTORY = 4,
    PROC_INVALID_PROCESS_GROUP = 5,
    PROC_INVALID_FILE = 6,
    PROC_HAS_EXITED = 7,
    PROC_STILL_ACTIVE = 8,
    PROC_WAIT_FOR_SELF = 9,
    PROC_SYSTEM_ERR = 10,
    PROC_INVALID_EXECUTABLE = 11,
    PROC_OUT_OF_FILE_HANDLES = 12,
    PROC_OUT_OF_MEMORY = 13,
    PROC_ACCESS_DENIED = 14,
    PROC_CREATE_TIMEOUT = 15,
};

// Size of each working buffer of the exception message.
constexpr size_t PROCESS_EXCEPTION_TEXT_SIZE = 1024;

extern "C" {

// Raises the exception for `code` in the calling thread and returns.
JNIEXPORT void ThrowException(JNIEnv* env, unsigned int code, const char* text, int sysErr);

// The system's text for errnum: 0 on success, -1 (errno set) on failure.
JNIEXPORT int process_strerror_r(int errnum, char* buffer, size_t size);

// The Java class name raised for a result code.
JNIEXPORT const char* process_exception_class(unsigned int code);
}

// The platform's raw text for a system error number, in the native code set;
// the empty string when there is none.
void process_system_error_text(int sysErr, char* buffer, size_t size);
