// The Win32ProcessGlue entry points and the library's JNI_OnLoad.
//
// Every entry point traces its entry and exit, turns the handle Java keeps
// back into its record, and reports a failure as one Java exception.
#include "com_qor_vt_process_Win32ProcessGlue.h"
#include "common/win32.h"
#include "procctl/process_error.h"
#include "procctl/process_handles.h"
#include "procctl/process_log.h"
#include "procctl/process_strutil.h"
#include "procctl/win32/win32_process.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Size of the buffers for the command line and the working directory, and of
// the buffer for process ids.
static constexpr size_t COMMAND_BUFFER_SIZE = 8196;
static constexpr size_t PID_BUFFER_SIZE = 128;

static const char* const allocationFailure =
    "Error during allocation of JNI process structures.  The OS refused to allocate more memory.";

static void destroyRecord(void* record)
{
    auto* r = static_cast<Win32ProcessRecord*>(record);
    if (r->processHandle != nullptr && r->processHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(r->processHandle);
    }
    free(r);
}

// A new record with the handle Java will hold for it (0 when memory runs out).
static Win32ProcessRecord* newRecord(jlong* handle)
{
    auto* record = static_cast<Win32ProcessRecord*>(malloc(sizeof(Win32ProcessRecord)));
    *handle = 0;
    if (record != nullptr) {
        record->processHandle = INVALID_HANDLE_VALUE;
        record->processId = 0;
        // Named by nothing until the entry point hands it out.
        *handle = process_ReserveHandle(record, destroyRecord);
        if (*handle == 0) {
            free(record);
            record = nullptr;
        }
    }
    return record;
}

// The record behind a live handle, in use while this object lives.  Any
// other number (never issued, already released, 0) raises the entry point's
// exception instead, and nothing behind it is read.
class RecordUse {
  public:
    RecordUse(JNIEnv* env, jlong handle, const char* text) : use_(handle)
    {
        if (record() == nullptr) {
            ThrowException(env, PROC_SYSTEM_ERR, text, ERROR_INVALID_HANDLE);
        }
    }
    Win32ProcessRecord* record() const { return use_.record<Win32ProcessRecord>(); }

    // The record's process handle, or null after raising an exception: also
    // for the record of a failed launch or bind, whose handle holds the
    // invalid-handle value, which Windows would take for this very process
    // (a kill would end the server).
    HANDLE usable(JNIEnv* env, const char* text) const
    {
        Win32ProcessRecord* r = record();
        if (r == nullptr) {
            return nullptr;
        }
        if (r->processHandle == INVALID_HANDLE_VALUE || r->processHandle == nullptr) {
            ThrowException(env, PROC_SYSTEM_ERR, text, ERROR_INVALID_HANDLE);
            return nullptr;
        }
        return r->processHandle;
    }

  private:
    ProcessHandleUse use_;
};

// Converts a Java string into the buffer; false when it does not fit whole,
// so a long name is refused instead of being cut into another one.
static bool nativeStringFits(JNIEnv* env, jstring str, char* buffer, size_t size)
{
    process_GetNativeStringFromJString(env, buffer, str, size);
    return strlen(buffer) < size - 1;
}

// One entry of the redirection array in the ANSI code page, or null for a
// missing or null entry.  The three entries are converted one by one: a
// String[] conversion ends at the first null element, which would drop the
// output and error files whenever standard input is not redirected.
static char* redirectionEntry(JNIEnv* env, jobjectArray array, jsize index)
{
    if (index >= env->GetArrayLength(array)) {
        return nullptr;
    }
    auto element = static_cast<jstring>(env->GetObjectArrayElement(array, index));
    if (element == nullptr) {
        return nullptr;
    }
    size_t size = 3 * (static_cast<size_t>(env->GetStringUTFLength(element)) + 1);
    char* entry = static_cast<char*>(malloc(size));
    if (entry != nullptr) {
        process_GetNativeStringFromJString(env, entry, element, size);
    }
    env->DeleteLocalRef(element);
    return entry;
}

static void raiseLaunchFailure(JNIEnv* env, DWORD result)
{
    char text[PROCESS_EXCEPTION_TEXT_SIZE];
    process_system_error_text(static_cast<int>(result), text, sizeof(text));
    if (text[0] == '\0') {
        process_copyBounded(text, "Error creating new process. ", sizeof(text));
    }
    if (result == ERROR_FILE_NOT_FOUND) {
        ThrowException(env, PROC_INVALID_EXECUTABLE, text, static_cast<int>(result));
    } else if (result == ERROR_BAD_EXE_FORMAT) {
        ThrowException(env, PROC_INVALID_EXECUTABLE,
                       "Error when loading the executable; it may be corrupt.  Please check the execuable passed in.",
                       static_cast<int>(result));
    } else {
        ThrowException(env, PROC_SYSTEM_ERR, text, static_cast<int>(result));
    }
}

extern "C" JNIEXPORT jlong JNICALL Java_com_qor_vt_process_Win32ProcessGlue_create(
    JNIEnv* env, jclass /*cls*/, jstring commandLine, jobjectArray environment, jstring workingDirectory, jint priority,
    jobjectArray redirections, jboolean direct)
{
    ProcessTrace trace("Win32ProcessGlue_create()");
    bool launchDirectly = direct == 1;
    char directory[COMMAND_BUFFER_SIZE];
    bool directoryFits = true;
    if (workingDirectory != nullptr) {
        directoryFits = nativeStringFits(env, workingDirectory, directory, sizeof(directory));
    }
    char** environmentArray = environment != nullptr ? javaStrArrayToCStrArray(env, environment) : nullptr;
    bool redirected = redirections != nullptr && !launchDirectly;
    char* redirectionSlots[3] = {nullptr, nullptr, nullptr};
    for (jsize i = 0; redirected && i < 3; i++) {
        redirectionSlots[i] = redirectionEntry(env, redirections, i);
    }
    auto releaseRedirections = [&redirectionSlots] {
        for (char* slot : redirectionSlots) {
            free(slot);
        }
    };

    if (commandLine == nullptr) {
        ReleaseCStrArray(environmentArray);
        releaseRedirections();
        ThrowException(env, PROC_SYSTEM_ERR, "Error in process definition, cannot have null commandline.", 0);
        return 0;
    }
    char command[COMMAND_BUFFER_SIZE];
    bool commandFits = nativeStringFits(env, commandLine, command, sizeof(command));

    jlong handle = 0;
    Win32ProcessRecord* record = newRecord(&handle);
    if (record == nullptr) {
        ReleaseCStrArray(environmentArray);
        releaseRedirections();
        ThrowException(env, PROC_SYSTEM_ERR, allocationFailure, 0);
        return 0;
    }

    DWORD result = ERROR_FILENAME_EXCED_RANGE;
    if (commandFits && directoryFits) {
        result = win32_CreateProcess(
            command, static_cast<int>(strlen(command)), const_cast<const char**>(environmentArray),
            workingDirectory != nullptr ? directory : nullptr, priority, redirected ? redirectionSlots : nullptr,
            &record->processId, &record->processHandle, launchDirectly ? 1 : 0);
    }
    ReleaseCStrArray(environmentArray);
    releaseRedirections();
    if (result != 0) {
        raiseLaunchFailure(env, result);
    }
    process_PublishHandle(handle);
    return handle;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_qor_vt_process_Win32ProcessGlue_recreate(JNIEnv* env, jclass /*cls*/,
                                                                                     jstring pid)
{
    ProcessTrace trace("Win32ProcessGlue_recreate()");
    if (pid == nullptr) {
        ThrowException(env, PROC_SYSTEM_ERR, "Error recreating process. ", 0);
        return 0;
    }
    char text[PID_BUFFER_SIZE];
    process_GetNativeStringFromJString(env, text, pid, sizeof(text));
    jlong handle = 0;
    Win32ProcessRecord* record = newRecord(&handle);
    if (record == nullptr) {
        ThrowException(env, PROC_SYSTEM_ERR, allocationFailure, 0);
        return 0;
    }
    record->processId = static_cast<DWORD>(atoi(text));
    process_log("Calling for a bind to process: [%d]\n", static_cast<int>(record->processId));
    DWORD bound = win32_BindToProcess(record->processId, record);
    if (bound != 0) {
        process_log("Bind failed with return code: [%d]\n", static_cast<int>(bound));
        unsigned int code = PROC_SYSTEM_ERR;
        if (bound == ERROR_INVALID_PARAMETER) {
            code = PROC_HAS_EXITED;
        } else if (bound == ERROR_ACCESS_DENIED) {
            code = PROC_ACCESS_DENIED;
        }
        ThrowException(env, code, "Error recreating/binding to process. ", static_cast<int>(bound));
    }
    process_PublishHandle(handle);
    return handle;
}

extern "C" JNIEXPORT jlong JNICALL Java_com_qor_vt_process_Win32ProcessGlue_createSelf(JNIEnv* env, jclass /*cls*/)
{
    ProcessTrace trace("Win32ProcessGlue_createSelf()");
    jlong handle = 0;
    Win32ProcessRecord* record = newRecord(&handle);
    if (record == nullptr) {
        ThrowException(env, PROC_SYSTEM_ERR, allocationFailure, 0);
        return 0;
    }
    record->processId = GetCurrentProcessId();
    DWORD bound = win32_BindToProcess(record->processId, record);
    if (bound != 0) {
        ThrowException(env, PROC_SYSTEM_ERR, "Error recreating process. ", static_cast<int>(bound));
    }
    process_PublishHandle(handle);
    return handle;
}

extern "C" JNIEXPORT jstring JNICALL Java_com_qor_vt_process_Win32ProcessGlue_id(JNIEnv* env, jclass /*cls*/,
                                                                                 jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_id()");
    RecordUse use(env, handle, "Error reading process id. ");
    if (use.record() == nullptr) {
        return nullptr;
    }
    char text[PID_BUFFER_SIZE];
    snprintf(text, sizeof(text), "%d", static_cast<int>(use.record()->processId));
    return env->NewStringUTF(text);
}

static bool isSelf(const RecordUse& use)
{
    return use.record() != nullptr && use.record()->processId == GetCurrentProcessId();
}

extern "C" JNIEXPORT void JNICALL Java_com_qor_vt_process_Win32ProcessGlue_waitForTermination(JNIEnv* env,
                                                                                              jclass /*cls*/,
                                                                                              jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_waitForTermination()");
    const char* text = "Error waiting for process to terminate. ";
    RecordUse use(env, handle, text);
    if (isSelf(use)) {
        ThrowException(env, PROC_WAIT_FOR_SELF, "Attempt to wait for self to terminate", 0);
        return;
    }
    HANDLE process = use.usable(env, text);
    if (process != nullptr && WaitForSingleObject(process, INFINITE) == WAIT_FAILED) {
        ThrowException(env, PROC_SYSTEM_ERR, text, static_cast<int>(GetLastError()));
    }
}

extern "C" JNIEXPORT void JNICALL Java_com_qor_vt_process_Win32ProcessGlue_waitForTerminationWithTimeout(JNIEnv* env,
                                                                                                         jclass /*cls*/,
                                                                                                         jlong handle,
                                                                                                         jint seconds)
{
    ProcessTrace trace("Win32ProcessGlue_waitForTerminationWithTimeout()");
    const char* text = "Error waiting for process to terminate. ";
    RecordUse use(env, handle, text);
    if (isSelf(use)) {
        ThrowException(env, PROC_WAIT_FOR_SELF, "Attempt to wait for self to terminate", 0);
        return;
    }
    HANDLE process = use.usable(env, text);
    if (process == nullptr) {
        return;
    }
    // -1 waits without limit; any other negative limit polls.  Seconds in
    // milliseconds without overflow; no finite limit becomes the endless wait.
    int64_t milliseconds = seconds < 0 ? 0 : static_cast<int64_t>(seconds) * 1000;
    if (milliseconds >= static_cast<int64_t>(INFINITE)) {
        milliseconds = static_cast<int64_t>(INFINITE) - 1;
    }
    DWORD outcome = WaitForSingleObject(process, seconds == -1 ? INFINITE : static_cast<DWORD>(milliseconds));
    if (outcome == WAIT_TIMEOUT) {
        ThrowException(env, PROC_STILL_ACTIVE, text, WAIT_TIMEOUT);
    } else if (outcome == WAIT_FAILED) {
        ThrowException(env, PROC_SYSTEM_ERR, text, static_cast<int>(GetLastError()));
    }
}

extern "C" JNIEXPORT jboolean JNICALL Java_com_qor_vt_process_Win32ProcessGlue_ping(JNIEnv* env, jclass /*cls*/,
                                                                                    jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_ping()");
    const char* text = "Error pinging process. ";
    RecordUse use(env, handle, text);
    HANDLE process = use.usable(env, text);
    if (process == nullptr) {
        return JNI_FALSE;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode)) {
        ThrowException(env, PROC_SYSTEM_ERR, text, static_cast<int>(GetLastError()));
        return JNI_FALSE;
    }
    return exitCode == STILL_ACTIVE ? JNI_TRUE : JNI_FALSE;
}

static void endProcess(JNIEnv* env, jlong handle, const char* deniedText)
{
    const char* text = "Error stopping process. ";
    RecordUse use(env, handle, text);
    HANDLE process = use.usable(env, text);
    if (process == nullptr) {
        return;
    }
    DWORD result = win32_TerminateProcess(process);
    if (result == ERROR_ACCESS_DENIED) {
        ThrowException(env, PROC_ACCESS_DENIED, deniedText, static_cast<int>(result));
    } else if (result != 0) {
        ThrowException(env, PROC_SYSTEM_ERR, text, static_cast<int>(result));
    }
}

extern "C" JNIEXPORT void JNICALL Java_com_qor_vt_process_Win32ProcessGlue_stop(JNIEnv* env, jclass /*cls*/,
                                                                                jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_stop()");
    endProcess(env, handle, "Error stopping process due to insufficient permissions. ");
}

extern "C" JNIEXPORT void JNICALL Java_com_qor_vt_process_Win32ProcessGlue_kill(JNIEnv* env, jclass /*cls*/,
                                                                                jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_kill()");
    endProcess(env, handle, "Error stopping process due to insufficient permissions.  ");
}

extern "C" JNIEXPORT jint JNICALL Java_com_qor_vt_process_Win32ProcessGlue_getExitCode(JNIEnv* env, jclass /*cls*/,
                                                                                       jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_getExitCode()");
    const char* text = "Error getting exitcode. ";
    RecordUse use(env, handle, text);
    if (isSelf(use)) {
        ThrowException(env, PROC_STILL_ACTIVE, "Attempt to get exit code of self", 0);
        return -1;
    }
    HANDLE process = use.usable(env, text);
    if (process == nullptr) {
        return -1;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode)) {
        ThrowException(env, PROC_SYSTEM_ERR, text, static_cast<int>(GetLastError()));
        return -1;
    }
    if (exitCode == STILL_ACTIVE) {
        ThrowException(env, PROC_STILL_ACTIVE, "Attempt to get exitcode of active process. ", 0);
    }
    process_log("ExitCode retrieved for process [%d] was: [%d]\n", static_cast<int>(use.record()->processId),
                static_cast<int>(exitCode));
    return static_cast<jint>(exitCode);
}

extern "C" JNIEXPORT void JNICALL Java_com_qor_vt_process_Win32ProcessGlue_done(JNIEnv* env, jclass /*cls*/,
                                                                                jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_done()");
    // Calls still running on the handle finish first: the record goes when
    // the last of them returns.
    if (handle != 0 && process_RetireHandle(handle) == 0) {
        ThrowException(env, PROC_SYSTEM_ERR, "Error releasing process object. ", ERROR_INVALID_HANDLE);
    }
}

extern "C" JNIEXPORT void JNICALL Java_com_qor_vt_process_Win32ProcessGlue_pokeVMThreadDump(JNIEnv* env, jclass /*cls*/,
                                                                                            jlong handle)
{
    ProcessTrace trace("Win32ProcessGlue_pokeVMThreadDump()");
    RecordUse use(env, handle, "Error causing JVM dump. ");
    if (use.record() == nullptr) {
        return;
    }
    // The virtual machine answers SIGBREAK with a dump of its own threads;
    // the dump is always of this process, whatever the record.
    raise(SIGBREAK);
}

// A user's logoff must not end the server; every other console event goes
// on to the next handler.
extern "C" JNIEXPORT BOOL WINAPI win32_ConsoleControlHandler(DWORD event)
{
    return event == CTRL_LOGOFF_EVENT ? TRUE : FALSE;
}

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/)
{
    SetConsoleCtrlHandler(win32_ConsoleControlHandler, TRUE);
    process_log_init_dbg();
    return JNI_VERSION_1_2;
}
