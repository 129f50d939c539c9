// Operations on a bound or created process: binding by id with a ladder of
// access rights, and ending a process.
#include "common/win32.h"
#include "procctl/process_log.h"
#include "procctl/win32/win32_process.h"

// Access rights for binding, the widest first.  A process of another user
// may grant only the narrower ones; with the last, a record can be waited
// for and queried but not ended.
static const DWORD bindAccess[3] = {
    PROCESS_ALL_ACCESS,
    SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
    SYNCHRONIZE | PROCESS_QUERY_INFORMATION,
};

DWORD win32_BindToProcess(DWORD processId, Win32ProcessRecord* record)
{
    static const char* const failureLines[3] = {
        "Binding to process [%d] using all access rights failed.  Now trying access rights: SYNCHRONIZE, "
        "PROCESS_TERMINATE, and PROCESS_QUERY_INFORMATION.\n",
        "Binding to process [%d] using limited access rights failed.  Now trying just access rights: SYNCHRONIZE and "
        "PROCESS_QUERY_INFORMATION.\n",
        "Binding to process [%d] using the most limited and still useful access rights failed.  Giving up and "
        "reporting an error.\n",
    };
    process_log("Binding to process [%d] using all access rights.\n", static_cast<int>(processId));
    for (int attempt = 0; attempt < 3; attempt++) {
        HANDLE process = OpenProcess(bindAccess[attempt], TRUE, processId);
        if (process != nullptr && process != INVALID_HANDLE_VALUE) {
            record->processHandle = process;
            return 0;
        }
        DWORD error = GetLastError();
        process_log(failureLines[attempt], static_cast<int>(processId));
        if (attempt == 2) {
            return error != 0 ? error : ERROR_INVALID_PARAMETER;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

DWORD win32_TerminateProcess(HANDLE process)
{
    if (TerminateProcess(process, 3)) {
        return 0;
    }
    DWORD error = GetLastError();
    DWORD exitCode = STILL_ACTIVE;
    if (!GetExitCodeProcess(process, &exitCode)) {
        exitCode = STILL_ACTIVE;
    }
    // A process that ended by itself meanwhile has reached what was asked.
    return exitCode == STILL_ACTIVE ? error : 0;
}
