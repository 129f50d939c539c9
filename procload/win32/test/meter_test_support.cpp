#include "procload/win32/test/meter_test_support.h"
#include "common/test/child_pipes.h"
#include "common/test/win32_seams.h"
#include "procctl/win32/test/win32_test_support.h"
#include "procload/procload_log.h"
#include "procload/slot_table.h"
#include "procload/win32/cpu_utilisation.h"
#include "procload/win32/process_times.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace procload_test {

namespace {

// The Linux processes of the running Targets, by Windows process id.
std::mutex linuxPidsLock;
std::map<DWORD, int> linuxPids;

// Wine 8 answers GetProcessTimes of any other process with the caller's own
// kernel and user times (the creation and exit times are the other
// process's). This reader takes them from the stat file of the Linux process
// behind a Target instead (utime and stime, fields 14 and 15, in ticks of
// 1/100 s): the figures that wine gives that process for its own times.
// Other processes are read as the system reads them.
BOOL WINAPI processTimesUnderWine(HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user)
{
    if (!GetProcessTimes(process, creation, exit, kernel, user)) {
        return FALSE;
    }
    int linuxPid = 0;
    {
        std::lock_guard<std::mutex> guard(linuxPidsLock);
        auto found = linuxPids.find(GetProcessId(process));
        linuxPid = found != linuxPids.end() ? found->second : 0;
    }
    if (linuxPid == 0) {
        return TRUE;
    }
    // After the name: state, fields 4 to 13, then utime and stime.
    std::string stat = win32test::linuxFile("/proc/" + std::to_string(linuxPid) + "/stat").value_or("");
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    size_t name = stat.rfind(')');
    if (name == std::string::npos ||
        sscanf(stat.c_str() + name + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) !=
            2) {
        return TRUE;
    }
    auto toFiletime = [](uint64_t ticks, FILETIME* time) {
        uint64_t units = ticks * 100000;
        time->dwLowDateTime = static_cast<DWORD>(units);
        time->dwHighDateTime = static_cast<DWORD>(units >> 32);
    };
    toFiletime(stime, kernel);
    toFiletime(utime, user);
    return TRUE;
}

bool underWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

} // namespace

Target::Target(const std::string& arguments)
{
    job_ = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    // The tag finds the Linux processes behind the program and its descendants.
    static int serial = 0;
    tag_ = "qor-procload-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial++) + "-";
    std::string command = "\"" + win32test::programDirectory() + "procload_target.exe\" tag " + tag_ + " " + arguments;
    PROCESS_INFORMATION info = {};
    // Suspended until it is in the job, so that every process it starts is too.
    if (win32test::startWithPipes(command, CREATE_SUSPENDED, &input_, &output_, &info)) {
        AssignProcessToJobObject(job_, info.hProcess);
        ResumeThread(info.hThread);
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
    }
}

Target::~Target()
{
    finish();
    TerminateJobObject(job_, 1);
    for (int i = 0; i < 100 && running() > 0; i++) {
        Sleep(100);
    }
    CloseHandle(output_);
    if (process_ != nullptr) {
        CloseHandle(process_);
    }
    CloseHandle(job_);
    std::lock_guard<std::mutex> guard(linuxPidsLock);
    linuxPids.erase(id_);
}

bool Target::ready()
{
    char text[8] = {0};
    DWORD n = 0;
    if (process_ == nullptr || !ReadFile(output_, text, 6, &n, nullptr) || strncmp(text, "ready\n", 6) != 0) {
        return false;
    }
    if (underWine()) {
        std::lock_guard<std::mutex> guard(linuxPidsLock);
        linuxPids[id_] = win32test::linuxPidWith(tag_);
    }
    return true;
}

std::string Target::request(const std::string& line)
{
    std::string text = line + "\n";
    DWORD n = 0;
    if (input_ == nullptr || !WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &n, nullptr)) {
        return "";
    }
    std::string answer;
    char c = 0;
    while (ReadFile(output_, &c, 1, &n, nullptr) && n == 1 && c != '\n') {
        answer += c;
    }
    return answer;
}

Times Target::times()
{
    Times times;
    std::string answer = request("times");
    char* end = nullptr;
    times.creation = strtoull(answer.c_str(), &end, 10);
    times.cpu = strtoull(end, &end, 10);
    times.now = strtoull(end, nullptr, 10);
    return times;
}

bool Target::busy(int milliseconds)
{
    return request("busy " + std::to_string(milliseconds)) == "ok";
}

int Target::running() const
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    if (!QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr)) {
        return -1;
    }
    return static_cast<int>(accounting.ActiveProcesses);
}

bool Target::finish(DWORD milliseconds)
{
    if (input_ != nullptr) {
        CloseHandle(input_);
        input_ = nullptr;
    }
    ULONGLONG end = GetTickCount64() + milliseconds;
    while (running() != 0 && GetTickCount64() < end) {
        Sleep(50);
    }
    if (running() != 0) {
        return false;
    }
    // Wine's processes leave the job before their Linux processes are gone.
    bool linuxLeft = underWine();
    while (linuxLeft && (linuxLeft = win32test::linuxPidWith(tag_) != 0) && GetTickCount64() < end) {
        Sleep(100);
    }
    return !linuxLeft;
}

static uint64_t units(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

static uint64_t systemTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return units(now);
}

Times timesOf(BOOL(WINAPI* read)(HANDLE, FILETIME*, FILETIME*, FILETIME*, FILETIME*), HANDLE object)
{
    FILETIME creation;
    FILETIME exit;
    FILETIME kernel;
    FILETIME user;
    Times times;
    if (read(object, &creation, &exit, &kernel, &user)) {
        times = {units(creation), units(kernel) + units(user), 0};
    }
    times.now = systemTime();
    return times;
}

int processors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

double percent(uint64_t cpu, uint64_t elapsed)
{
    return static_cast<double>(cpu) / static_cast<double>(elapsed) * 100.0 / processors();
}

std::map<int32_t, int32_t> parentsNow()
{
    std::map<int32_t, int32_t> parents;
    unique_file_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry)) {
        parents[static_cast<int32_t>(entry.th32ProcessID)] = static_cast<int32_t>(entry.th32ParentProcessID);
    }
    return parents;
}

void expectSinceCreation(double figure, const Times& before, const Times& after, const char* what)
{
    double low = percent(before.cpu, before.now - before.creation);
    double high = percent(after.cpu, after.now - after.creation);
    EXPECT_GE(figure, std::min(low, high) - 1.0) << what;
    EXPECT_LE(figure, std::max(low, high) + 1.0) << what;
}

void resetMeter()
{
    ProcloadStateGuard guard(procloadStateLock);
    for (LastProcessSlot& slot : lastProcessInfo) {
        clearSlot(&slot);
    }
    lastProcessInfoSize = 0;
    slotLivenessProbe = confirmProcessActive;
    processTimesReader = underWine() ? processTimesUnderWine : GetProcessTimes;
    debugEnabled = 0;
    clearOwnSample();
}

jintArray intArray(TestJniEnv& jni, const std::vector<jint>& values)
{
    jintArray array = jni.env()->NewIntArray(static_cast<jsize>(values.size()));
    jni.env()->SetIntArrayRegion(array, 0, static_cast<jsize>(values.size()), values.data());
    return array;
}

jlongArray longArray(TestJniEnv& jni, const std::vector<jlong>& values)
{
    jlongArray array = jni.env()->NewLongArray(static_cast<jsize>(values.size()));
    jni.env()->SetLongArrayRegion(array, 0, static_cast<jsize>(values.size()), values.data());
    return array;
}

} // namespace procload_test
