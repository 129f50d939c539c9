// UnixProcessGlue: the Java entry points of process control on Unix.
#include "com_qor_vt_process_UnixProcessGlue.h"
#include "procctl/process_error.h"
#include "procctl/process_handles.h"
#include "procctl/process_log.h"
#include "procctl/process_strutil.h"
#include "procctl/unix/unix_process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Size of the buffers for strings given to create.
static constexpr size_t CREATE_STRING_SIZE = 3072;

namespace {

void destroyRecord(void* record)
{
    unix_doneWithProcess(static_cast<UnixProcessRecord*>(record));
    unix_FreeProcessRecord(static_cast<UnixProcessRecord*>(record));
}

// The record behind a live handle, in use while this object lives.  Any
// other number (never issued, already released, 0) raises the entry point's
// exception instead, and nothing behind it is read.
class RecordUse {
  public:
    RecordUse(JNIEnv* env, jlong handle, const char* text) : use_(handle)
    {
        if (record() == nullptr) {
            ThrowException(env, PROC_SYSTEM_ERR, text, 0);
        }
    }
    UnixProcessRecord* record() const { return use_.record<UnixProcessRecord>(); }

  private:
    ProcessHandleUse use_;
};

// A string given to create: converted whole, then refused with the caller's
// result code when it does not fit the 3,072-byte buffer the system's
// interfaces are sized for (ENAMETOOLONG), or holds a NUL (EINVAL), rather
// than cut.  Null for a null Java string.
struct CreateString {
    unsigned int code; // the result code of a refusal
    int sysErr;
};

char* createString(JNIEnv* env, jstring str, unsigned int code, CreateString* failure)
{
    if (str == nullptr || failure->code != PROC_SUCCESS) {
        return nullptr;
    }
    int err = 0;
    char* copy = process_NewNativeString(env, str, &err);
    if (copy != nullptr && strlen(copy) >= CREATE_STRING_SIZE) {
        free(copy);
        copy = nullptr;
        err = ENAMETOOLONG;
    }
    if (copy == nullptr) {
        failure->code = err == ENOMEM ? PROC_OUT_OF_MEMORY : code;
        failure->sysErr = err == ENOMEM ? 0 : err;
    }
    return copy;
}

} // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_com_qor_vt_process_UnixProcessGlue_create(
    JNIEnv* env, jclass /*cls*/, jstring executable, jobjectArray arguments, jobjectArray environment,
    jstring workingDirectory, jint priority, jobjectArray stdHandles, jint /*reserved*/, jint umask, jstring group,
    jstring user, jint processGroup, jstring extra, jboolean inheritStdHandles, jboolean detached)
{
    ProcessTrace trace("UnixProcessGlue_create()");
    if (executable == nullptr) {
        ThrowException(env, PROC_INVALID_EXECUTABLE, "Invalid executable.", 0);
        return 0;
    }
    UnixProcessRecord* record = unix_NewProcessRecord();
    int sysErr = 0;
    int result = PROC_SUCCESS;
    // The handle is had before anything is started, so that no process is
    // left without one; it names nothing until create hands it out.
    jlong handle = record != nullptr ? process_ReserveHandle(record, destroyRecord) : 0;
    if (handle == 0) {
        unix_FreeProcessRecord(record);
        record = nullptr;
        result = PROC_OUT_OF_MEMORY;
    } else {
        CreateString failure{PROC_SUCCESS, 0};
        UnixSpawnRequest* spawn = &record->spawn;
        spawn->executable = createString(env, executable, PROC_INVALID_EXECUTABLE, &failure);
        spawn->workingDirectory = createString(env, workingDirectory, PROC_INVALID_DIRECTORY, &failure);
        spawn->group = createString(env, group, PROC_INVALID_GROUP, &failure);
        spawn->user = createString(env, user, PROC_INVALID_USERNAME, &failure);
        // The three standard-handle entries keep their slots (a null entry
        // means "no file" for that stream only), so they are converted one by
        // one; a shorter Java array leaves the missing ones null.
        char* files[4] = {nullptr, nullptr, nullptr, nullptr};
        bool haveFiles = stdHandles != nullptr && inheritStdHandles == JNI_FALSE;
        if (haveFiles) {
            jsize length = env->GetArrayLength(stdHandles);
            for (jsize i = 0; i < 3 && i < length; i++) {
                auto element = static_cast<jstring>(env->GetObjectArrayElement(stdHandles, i));
                files[i] = createString(env, element, PROC_INVALID_FILE, &failure);
                env->DeleteLocalRef(element);
            }
        }
        // Arguments and environment entries are not bounded; one that holds
        // a NUL is refused.
        int err = 0;
        if (failure.code == PROC_SUCCESS && arguments != nullptr &&
            (spawn->arguments = process_NewNativeStringArray(env, arguments, &err)) == nullptr) {
            failure = {err == ENOMEM ? PROC_OUT_OF_MEMORY : PROC_SYSTEM_ERR, err == ENOMEM ? 0 : err};
        }
        if (failure.code == PROC_SUCCESS && environment != nullptr &&
            (spawn->environment = process_NewNativeStringArray(env, environment, &err)) == nullptr) {
            failure = {err == ENOMEM ? PROC_OUT_OF_MEMORY : PROC_SYSTEM_ERR, err == ENOMEM ? 0 : err};
        }
        // The extra text is kept but not used; it is cut like any text.
        if (extra != nullptr && failure.code == PROC_SUCCESS) {
            char buffer[CREATE_STRING_SIZE];
            process_GetNativeStringFromJString(env, buffer, extra, sizeof(buffer));
            if ((spawn->extraText = strdup(buffer)) == nullptr) {
                failure.code = PROC_OUT_OF_MEMORY;
            }
        }
        spawn->priority = priority;
        spawn->fileCreationMask = umask;
        spawn->processGroup = processGroup;
        strcpy(record->pid, "0");
        record->state = 1;
        if (failure.code == PROC_SUCCESS && env->ExceptionCheck()) {
            failure.code = PROC_OUT_OF_MEMORY;
        }
        if (failure.code != PROC_SUCCESS) {
            result = static_cast<int>(failure.code);
            sysErr = failure.sysErr;
        } else {
            spawn->stdHandleFiles = haveFiles ? files : nullptr;
            result = unix_spawnProcess(record, detached == JNI_TRUE ? 1 : 0, &sysErr);
            spawn->stdHandleFiles = nullptr;
        }
        for (char* file : files) {
            free(file);
        }
        unix_DeallocateProcessSpawnData(record);
    }
    if (result != PROC_SUCCESS) {
        if (!env->ExceptionCheck()) {
            ThrowException(env, static_cast<unsigned int>(result), "Error creating new process.", sysErr);
        }
        if (record != nullptr) {
            process_log("Process creation failed.  Please check for the exceptions for exact reason.\n");
            // Java never sees a record whose creation raised an exception.
            process_PublishHandle(handle);
            process_RetireHandle(handle);
        }
        return 0;
    }
    process_log("Created new process.  Process ID for created process: [%d]\n", atoi(record->pid));
    process_PublishHandle(handle);
    return handle;
}

// Whether a pid text names one process: 1 to 127 decimal digits (nothing
// else, no sign or blank) whose value is above 0.  0 and negative values
// address process groups, or every process, in kill().
static bool isProcessId(const char* text)
{
    size_t length = strlen(text);
    if (length == 0 || length >= UNIX_PID_SIZE) {
        return false;
    }
    long long value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        if (value <= 0x7fffffff) {
            value = value * 10 + (text[i] - '0');
        }
    }
    return value > 0 && value <= 0x7fffffff;
}

JNIEXPORT jlong JNICALL Java_com_qor_vt_process_UnixProcessGlue_recreate(JNIEnv* env, jclass /*cls*/, jstring pid)
{
    ProcessTrace trace("UnixProcessGlue_recreate()");
    if (pid == nullptr) {
        ThrowException(env, PROC_SYSTEM_ERR, "Error recreating process object. ", 0);
        return 0;
    }
    // The whole text is checked: a cut one could name another process.
    int err = 0;
    char* text = process_NewNativeString(env, pid, &err);
    bool valid = text != nullptr && isProcessId(text);
    char buffer[UNIX_PID_SIZE];
    process_copyBounded(buffer, valid ? text : "", sizeof(buffer));
    free(text);
    if (!valid) {
        if (!env->ExceptionCheck()) {
            ThrowException(env, PROC_SYSTEM_ERR, "Error recreating process object. ", 0);
        }
        return 0;
    }
    UnixProcessRecord* record = unix_NewProcessRecord();
    if (record == nullptr) {
        ThrowException(env, PROC_OUT_OF_MEMORY, "Error recreating process object. ", errno);
        return 0;
    }
    snprintf(record->pid, sizeof(record->pid), "%s", buffer);
    // Even the server's own child, re-attached, is only watched: its own
    // record reaps it.
    record->notChild = 1;
    unix_PinProcessIdentity(record);
    int sysErr = 0;
    int result = unix_AdoptProcess(record, &sysErr);
    jlong handle = 0;
    if (result == PROC_SUCCESS && (handle = process_IssueHandle(record, destroyRecord)) == 0) {
        result = PROC_OUT_OF_MEMORY;
        sysErr = ENOMEM;
    }
    if (result != PROC_SUCCESS) {
        ThrowException(env, static_cast<unsigned int>(result), "Error recreating process object. ", sysErr);
        destroyRecord(record);
        return 0;
    }
    process_log("Successfully recreated process [%s]\n", record->pid);
    return handle;
}

JNIEXPORT jlong JNICALL Java_com_qor_vt_process_UnixProcessGlue_createSelf(JNIEnv* env, jclass /*cls*/)
{
    ProcessTrace trace("UnixProcessGlue_createSelf()");
    UnixProcessRecord* record = unix_NewProcessRecord();
    if (record == nullptr) {
        ThrowException(env, PROC_SYSTEM_ERR, "Error in createSelf. ", 0);
        return 0;
    }
    snprintf(record->pid, sizeof(record->pid), "%d", static_cast<int>(getpid()));
    record->notChild = 1;
    unix_PinProcessIdentity(record);
    int sysErr = 0;
    int result = unix_AdoptProcess(record, &sysErr);
    jlong handle = 0;
    if (result == PROC_SUCCESS && (handle = process_IssueHandle(record, destroyRecord)) == 0) {
        result = PROC_SYSTEM_ERR;
    }
    if (result != PROC_SUCCESS) {
        ThrowException(env, static_cast<unsigned int>(result), "Error in createSelf. ", sysErr);
        destroyRecord(record);
        return 0;
    }
    return handle;
}

JNIEXPORT jstring JNICALL Java_com_qor_vt_process_UnixProcessGlue_id(JNIEnv* env, jclass /*cls*/, jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_id()");
    RecordUse use(env, handle, "Error reading process id. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return nullptr;
    }
    char utf8[UNIX_PID_SIZE];
    if (process_stringConverterToUTF8(utf8, record->pid, sizeof(utf8)) == nullptr) {
        process_copyBounded(utf8, record->pid, sizeof(utf8));
    }
    return env->NewStringUTF(utf8);
}

static void finishWait(JNIEnv* env, UnixProcessRecord* record, int result, int sysErr)
{
    if (result != PROC_SUCCESS) {
        ThrowException(env, static_cast<unsigned int>(result), "Error waiting for process to terminate. ", sysErr);
    } else {
        process_log("Process [%s] had return code [%d]\n", record->pid, record->exitCode);
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_UnixProcessGlue_waitForTermination(JNIEnv* env, jclass /*cls*/,
                                                                                  jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_waitForTermination()");
    RecordUse use(env, handle, "Error waiting for process to terminate. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return;
    }
    if (atoi(record->pid) == getpid()) {
        ThrowException(env, PROC_WAIT_FOR_SELF, "Attempt to wait for self to terminate", 0);
        return;
    }
    if (record->state != 0) {
        int sysErr = 0;
        unix_EnterWait(record);
        int result = unix_WaitForProcessTermination(record, &sysErr);
        unix_LeaveWait(record);
        finishWait(env, record, result, sysErr);
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_UnixProcessGlue_waitForTerminationWithTimeout(JNIEnv* env,
                                                                                             jclass /*cls*/,
                                                                                             jlong handle, jint seconds)
{
    ProcessTrace trace("UnixProcessGlue_waitForTerminationWithTimeout()");
    RecordUse use(env, handle, "Error waiting for process to terminate. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return;
    }
    if (atoi(record->pid) == getpid()) {
        ThrowException(env, PROC_WAIT_FOR_SELF, "Attempt to wait for self to terminate. ", 0);
        return;
    }
    if (record->state != 0) {
        int sysErr = 0;
        unix_EnterWait(record);
        int result = unix_WaitForProcessTerminationWithTimeout(record, seconds, &sysErr);
        unix_LeaveWait(record);
        finishWait(env, record, result, sysErr);
    }
}

JNIEXPORT jboolean JNICALL Java_com_qor_vt_process_UnixProcessGlue_ping(JNIEnv* env, jclass /*cls*/, jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_ping()");
    RecordUse use(env, handle, "Error pinging process. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return JNI_FALSE;
    }
    if (record->state != 0) {
        int sysErr = 0;
        int result = unix_PingProcess(record, &sysErr);
        if (result != PROC_SUCCESS) {
            ThrowException(env, static_cast<unsigned int>(result), "Error pinging process. ", sysErr);
            return JNI_FALSE;
        }
    }
    return record->state == 1 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_UnixProcessGlue_stop(JNIEnv* env, jclass /*cls*/, jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_stop()");
    RecordUse use(env, handle, "Error stopping process. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return;
    }
    process_log("Trying to stop process (PID): [%s].  Process state is: [%d]\n", record->pid, record->state.load());
    if (record->state != 0) {
        int sysErr = 0;
        int result = unix_StopProcess(record, &sysErr);
        if (result != PROC_SUCCESS) {
            ThrowException(env, static_cast<unsigned int>(result), "Error stopping process. ", sysErr);
        }
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_UnixProcessGlue_kill(JNIEnv* env, jclass /*cls*/, jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_kill()");
    RecordUse use(env, handle, "Error terminating process. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return;
    }
    process_log("Trying to kill process (PID): [%s].  Process state is: [%d]\n", record->pid, record->state.load());
    int sysErr = 0;
    int result = unix_KillProcess(record, &sysErr);
    if (result != PROC_SUCCESS) {
        ThrowException(env, static_cast<unsigned int>(result), "Error terminating process. ", sysErr);
    }
}

JNIEXPORT jint JNICALL Java_com_qor_vt_process_UnixProcessGlue_getExitCode(JNIEnv* env, jclass /*cls*/, jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_getExitCode()");
    RecordUse use(env, handle, "Error getting exitcode. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return 0;
    }
    if (record->state != 0) {
        int sysErr = 0;
        int result = unix_GetProcessExitCode(record, &sysErr);
        if (result != PROC_SUCCESS) {
            ThrowException(env, static_cast<unsigned int>(result), "Error getting exitcode. ", sysErr);
            return 0;
        }
    }
    // A wait that is reaping the process writes the code: let it finish.
    unix_AwaitWaiters(record);
    int exitCode = 0;
    int sysErr = 0;
    if (unix_ReadExitCode(record, &exitCode, &sysErr) != PROC_SUCCESS) {
        // Somebody else took the status and the kernel kept none for us:
        // no number could stand for it.
        ThrowException(env, PROC_SYSTEM_ERR, "Error getting exitcode. ", sysErr);
        return 0;
    }
    return exitCode;
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_UnixProcessGlue_done(JNIEnv* env, jclass /*cls*/, jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_done()");
    if (handle == 0) {
        return;
    }
    // Calls still running on the handle finish first: the record goes when
    // the last of them returns.
    RecordUse use(env, handle, "Error releasing process object. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return;
    }
    process_log("Deallocating data at: [0x%x], for process: [%s]\n",
                static_cast<unsigned int>(reinterpret_cast<uintptr_t>(record)), record->pid);
    if (process_RetireHandle(handle) == 0) {
        ThrowException(env, PROC_SYSTEM_ERR, "Error releasing process object. ", 0);
    }
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_UnixProcessGlue_pokeVMThreadDump(JNIEnv* env, jclass /*cls*/,
                                                                                jlong handle)
{
    ProcessTrace trace("UnixProcessGlue_pokeVMThreadDump()");
    RecordUse use(env, handle, "Error causing JVM dump. ");
    UnixProcessRecord* record = use.record();
    if (record == nullptr) {
        return;
    }
    int sysErr = 0;
    int result = unix_GenerateJVMThreadDump(record, &sysErr);
    if (result != PROC_SUCCESS) {
        ThrowException(env, static_cast<unsigned int>(result), "Error causing JVM dump. ", sysErr);
    }
}
}
