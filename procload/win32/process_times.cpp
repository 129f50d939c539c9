// Process and thread times from the system. A process or thread is opened
// for each read and closed on every path. An object whose process or thread
// has ended stays open while anybody holds a handle to it, and the system
// then still answers its final times; such a process or thread counts as gone,
// as on Linux, where its /proc entry and clock disappear with it.
#include "procload/win32/process_times.h"
#include "common/win32.h"
#include "procload/procload_log.h"
#include "procload/procload_platform.h"

namespace {

// Rights of the process reads; PROCESS_QUERY_INFORMATION | PROCESS_VM_READ.
constexpr DWORD PROCESS_READ_ACCESS = 0x410;
constexpr DWORD THREAD_READ_ACCESS = THREAD_QUERY_INFORMATION;

HANDLE ownProcess = nullptr;

uint64_t units(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t systemTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return units(now);
}

bool running(HANDLE process)
{
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
}

bool timesOf(HANDLE process, ProcessTimes* times, uint64_t* now)
{
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    if (!processTimesReader(process, &creation, &exit, &kernel, &user) || !running(process)) {
        return false;
    }
    *now = systemTime();
    times->creation = units(creation);
    times->kernel = units(kernel);
    times->user = units(user);
    return true;
}

unique_handle openProcess(int32_t processId)
{
    if (processId <= 0) {
        return unique_handle();
    }
    return unique_handle(OpenProcess(PROCESS_READ_ACCESS, FALSE, static_cast<DWORD>(processId)));
}

} // namespace

BOOL(WINAPI* processTimesReader)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*) = GetProcessTimes;

bool readProcessTimes(int32_t processId, ProcessTimes* times, uint64_t* now)
{
    unique_handle process = openProcess(processId);
    return process && timesOf(process.get(), times, now);
}

void takeOwnProcessHandle()
{
    if (ownProcess == nullptr) {
        ownProcess = GetCurrentProcess();
    }
}

bool readOwnProcessTimes(ProcessTimes* times, uint64_t* now)
{
    return ownProcess != nullptr && timesOf(ownProcess, times, now);
}

int32_t confirmProcessActive(int32_t processId)
{
    unique_handle process = openProcess(processId);
    if (process && running(process.get())) {
        PROCLOAD_DEBUG("%s %s %s\n", "checkProcessActive", " Process is active");
        return processId;
    }
    PROCLOAD_DEBUG("%s %s %s\n", "checkProcessActive", " Process is inactive");
    return 0;
}

bool readProcessCpu(int32_t processId, uint64_t* cpu)
{
    ProcessTimes times{};
    uint64_t now = 0;
    if (!readProcessTimes(processId, &times, &now)) {
        return false;
    }
    *cpu = times.kernel + times.user;
    return true;
}

// The thread behind threadId, its CPU time, and the system errors of the open
// and of the read (0 when they succeeded).
static bool threadCpu(int64_t threadId, uint64_t* cpu, DWORD* openError, DWORD* readError)
{
    *openError = ERROR_INVALID_PARAMETER;
    *readError = ERROR_INVALID_HANDLE;
    // A Windows thread id is 32 bits: a larger value would name the thread
    // of its low half.
    if (threadId <= 0 || threadId > 0xFFFFFFFFLL) {
        return false;
    }
    unique_handle thread(OpenThread(THREAD_READ_ACCESS, FALSE, static_cast<DWORD>(threadId)));
    *openError = thread ? 0 : GetLastError();
    if (!thread) {
        return false;
    }
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    DWORD code = 0;
    if (!GetThreadTimes(thread.get(), &creation, &exit, &kernel, &user)) {
        *readError = GetLastError();
        return false;
    }
    if (!GetExitCodeThread(thread.get(), &code) || code != STILL_ACTIVE) {
        *readError = ERROR_INVALID_HANDLE;
        return false;
    }
    *readError = 0;
    *cpu = units(kernel) + units(user);
    return true;
}

bool readThreadCpu(int64_t threadId, uint64_t* cpu)
{
    DWORD openError = 0;
    DWORD readError = 0;
    return threadCpu(threadId, cpu, &openError, &readError);
}

double RTP_getThreadCPU_Ticks(int32_t processId, int64_t threadId)
{
    PROCLOAD_DEBUG("%s %s %s processID=%d threadID=%lld\n", "RTP_getThreadCPU_Ticks", "ENTER", processId,
                   static_cast<long long>(threadId));
    uint64_t cpu = 0;
    DWORD openError = 0;
    DWORD readError = 0;
    double seconds = 0.0;
    if (threadCpu(threadId, &cpu, &openError, &readError)) {
        seconds = static_cast<double>(cpu) / static_cast<double>(FILETIME_UNITS_PER_SECOND);
    }
    PROCLOAD_DEBUG("%s %s %s rc1=%d rc2=%d threadCPU=%f\n", "RTP_getThreadCPU_Ticks", "EXIT",
                   static_cast<int>(openError), static_cast<int>(readError), seconds);
    return seconds;
}

double RTP_getProcLoad_Ticks(int32_t processId)
{
    PROCLOAD_DEBUG("%s %s %s\n", "RTP_getProcLoad_Ticks", "ENTER");
    uint64_t cpu = 0;
    if (!readProcessCpu(processId, &cpu)) {
        PROCLOAD_DEBUG("%s %s %s\n", "RTP_getProcLoad_Ticks", "DEBUG - ERROR - processHandle is NULL");
        return 0.0;
    }
    return static_cast<double>(cpu) / static_cast<double>(FILETIME_UNITS_PER_SECOND);
}

int32_t getNumProcessors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int32_t>(info.dwNumberOfProcessors) : 1;
}

int32_t getProcessId()
{
    PROCLOAD_DEBUG("%s %s %s\n", "getProcessId", "ENTER");
    auto pid = static_cast<int32_t>(GetCurrentProcessId());
    PROCLOAD_DEBUG("%s %s %s %d\n", "getProcessId", "EXIT processId=", pid);
    return pid;
}

int64_t getThreadId()
{
    PROCLOAD_DEBUG("%s %s %s\n", "getThreadId", "ENTER");
    // A thread id, not a handle: any value is safe to look up, and one whose
    // thread has ended reads no clock.
    auto id = static_cast<int64_t>(GetCurrentThreadId());
    PROCLOAD_DEBUG("%s %s %s %lld\n", "getThreadId", "EXIT threadId=", static_cast<long long>(id));
    return id;
}
