// Turns a result code and a system error into one Java exception.
#include "procctl/process_error.h"
#include "procctl/process_strutil.h"

#include <cstdio>
#include <cstring>

static const char* const exceptionClasses[] = {
    "com/qor/vt/process/exception/ProcessOpException", // PROC_SUCCESS: never raised by the entry points
    "com/qor/vt/process/exception/InvalidPriorityException",
    "com/qor/vt/process/exception/InvalidGroupException",
    "com/qor/vt/process/exception/InvalidUsernameException",
    "com/qor/vt/process/exception/InvalidDirectoryException",
    "com/qor/vt/process/exception/InvalidProcessGroupException",
    "com/qor/vt/process/exception/InvalidFileException",
    "com/qor/vt/process/exception/ProcessHasExitedException",
    "com/qor/vt/process/exception/ProcessStillActiveException",
    "com/qor/vt/process/exception/WaitForSelfTerminationException",
    "com/qor/vt/process/exception/ProcessOpException",
    "com/qor/vt/process/exception/InvalidExecutableException",
    "com/qor/vt/process/exception/OutOfFileHandlesException",
    "com/qor/vt/process/exception/OutOfMemoryException",
    "com/qor/vt/process/exception/AccessDeniedException",
    "com/qor/vt/process/exception/CreateProcessTimeoutException",
};

const char* process_exception_class(unsigned int code)
{
    if (code < sizeof(exceptionClasses) / sizeof(exceptionClasses[0])) {
        return exceptionClasses[code];
    }
    return "com/qor/vt/process/exception/ProcessOpException";
}

void ThrowException(JNIEnv* env, unsigned int code, const char* text, int sysErr)
{
    char className[PROCESS_EXCEPTION_TEXT_SIZE];
    process_copyBounded(className, process_exception_class(code), sizeof(className));

    char callerText[PROCESS_EXCEPTION_TEXT_SIZE];
    process_copyBounded(callerText, text != nullptr ? text : "", sizeof(callerText));

    char errorText[PROCESS_EXCEPTION_TEXT_SIZE];
    errorText[0] = '\0';
    if (sysErr != 0) {
        char rawText[PROCESS_EXCEPTION_TEXT_SIZE];
        process_system_error_text(sysErr, rawText, sizeof(rawText));
        if (rawText[0] != '\0' && process_stringConverterToUTF8(errorText, rawText, sizeof(errorText)) == nullptr) {
            process_copyBounded(errorText, rawText, sizeof(errorText));
        }
    }

    // The system text goes in only when text, number and text fit together;
    // else the number alone; else the caller's text alone.  The number has at
    // least three digits, zero-padded ("%03.3d" prints the same: the precision
    // makes the zero flag void).
    char message[PROCESS_EXCEPTION_TEXT_SIZE];
    size_t textLength = strlen(callerText);
    if (sysErr != 0 && strlen(errorText) + textLength + 5 < PROCESS_EXCEPTION_TEXT_SIZE) {
        snprintf(message, sizeof(message), "%s %.3d: %s", callerText, sysErr, errorText);
    } else if (sysErr != 0 && textLength + 4 < PROCESS_EXCEPTION_TEXT_SIZE) {
        snprintf(message, sizeof(message), "%s %.3d", callerText, sysErr);
    } else {
        process_copyBounded(message, callerText, sizeof(message));
    }
    message[PROCESS_EXCEPTION_TEXT_SIZE - 1] = '\0';

    jclass cls = env->FindClass(className);
    if (cls == nullptr) {
        // The failed look-up left NoClassDefFoundError pending; it must be
        // cleared before the JVM may be asked anything else.
        env->ExceptionClear();
        cls = env->FindClass("java/lang/Exception");
        if (cls == nullptr) {
            env->ExceptionClear();
            return;
        }
    }
    env->ThrowNew(cls, message);
    env->DeleteLocalRef(cls);
}
