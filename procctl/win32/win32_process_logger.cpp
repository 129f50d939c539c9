// Windows side of the diagnostic log: the switches, read under a named mutex,
// and the identities printed in each line.  JNI_OnLoad lives with the
// Win32ProcessGlue entry points, since it also installs the console handler.
#include "common/win32.h"
#include "procctl/process_log.h"

static HANDLE __proc_dbg_mutex = nullptr; // NOLINT(bugprone-reserved-identifier)
static DWORD __proc_dbg_pid = 0;          // NOLINT(bugprone-reserved-identifier)

// True when the variable exists in the process environment, even empty: the
// size asked for an empty value is 1 (its terminator), never 0.
static bool variableExists(const char* name)
{
    return GetEnvironmentVariableA(name, nullptr, 0) != 0;
}

void process_log_init_dbg(void)
{
    // Two threads loading the library at once may both create the mutex; the
    // name makes it one object, and only the first handle is kept.
    if (__proc_dbg_mutex == nullptr) {
        HANDLE created = CreateMutexA(nullptr, FALSE, "__JNI_DBG_ENABLE_MUTEX");
        if (created != nullptr && InterlockedCompareExchangePointer(&__proc_dbg_mutex, created, nullptr) != nullptr) {
            CloseHandle(created);
        }
    }
    bool locked = __proc_dbg_mutex != nullptr && WaitForSingleObject(__proc_dbg_mutex, INFINITE) == WAIT_OBJECT_0;
    if (variableExists("__JNI_PROCESS_DEBUG")) {
        __proc_dbg_enabled = 1;
    }
    if (variableExists("__JNI_PROCESS_ENTRYEXIT")) {
        __proc_entryexit_enabled = 1;
    }
    if (__proc_dbg_pid == 0) {
        __proc_dbg_pid = GetCurrentProcessId();
    }
    if (locked) {
        ReleaseMutex(__proc_dbg_mutex);
    }
}

unsigned int process_log_thread_id(void)
{
    return GetCurrentThreadId();
}

long process_log_pid(void)
{
    return static_cast<long>(__proc_dbg_pid);
}
