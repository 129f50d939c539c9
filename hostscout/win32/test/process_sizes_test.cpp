// The sizes of a process (resident and peak working set) as NTHostScout.dll
// reads them under wine, compared with what Linux tells of the same process.
#include "hostscout/win32/test/scout_test_support.h"

#include <psapi.h>

#include <algorithm>
#include <optional>
#include <string>

using scouttest::detectorClass;
using win32test::captureStdout;
using win32test::kbField;
using win32test::linuxFile;
using win32test::linuxPidWith;

namespace {

using ProcessSizes = scouttest::ScoutTest;

struct LinuxSizes {
    uint64_t residentKb;
    uint64_t peakKb;
};

LinuxSizes linuxSizes(int pid)
{
    std::string status = linuxFile("/proc/" + std::to_string(pid) + "/status").value_or("");
    return {kbField(status, "VmRSS").value_or(0), kbField(status, "VmHWM").value_or(0)};
}

// The helper program, started with pipes for its standard input and output;
// it ends when its input is closed, and is ended at the latest with the object.
class SizeHelper {
  public:
    SizeHelper(int allocateMb, int keepMb, const std::string& token)
    {
        std::string command = "\"" + win32test::programDirectory() + "size_helper.exe\" " + std::to_string(allocateMb) +
                              " " + std::to_string(keepMb) + " " + token;
        PROCESS_INFORMATION info = {};
        if (win32test::startWithPipes(command, 0, &input_, &output_, &info)) {
            process_ = info.hProcess;
            id_ = info.dwProcessId;
            CloseHandle(info.hThread);
        }
    }
    ~SizeHelper()
    {
        finish();
        CloseHandle(output_);
    }
    SizeHelper(const SizeHelper&) = delete;
    SizeHelper& operator=(const SizeHelper&) = delete;

    DWORD id() const { return id_; }
    bool ready()
    {
        char text[16] = {0};
        DWORD n = 0;
        return process_ != nullptr && ReadFile(output_, text, 5, &n, nullptr) && std::string(text, n) == "ready";
    }
    // Closes its input and waits for its end; true when it ended by itself.
    bool finish()
    {
        if (input_ != nullptr) {
            CloseHandle(input_);
            input_ = nullptr;
        }
        if (process_ == nullptr) {
            return true;
        }
        bool ended = WaitForSingleObject(process_, 10000) == WAIT_OBJECT_0;
        if (!ended) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 10000);
        }
        CloseHandle(process_);
        process_ = nullptr;
        return ended;
    }

  private:
    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

TEST_F(ProcessSizes, OfAnotherProcessAgainstLinux)
{
    std::string token = "qor-size-" + std::to_string(GetCurrentProcessId());
    SizeHelper helper(96, 16, token);
    ASSERT_TRUE(helper.ready());
    int linuxPid = linuxPidWith(token);
    ASSERT_NE(linuxPid, 0) << "no Linux process with " << token;

    jobject detector = jni.newInstance(detectorClass);
    jni.env()->SetIntField(detector, jni.env()->GetFieldID(nullptr, "pid", "I"), static_cast<jint>(helper.id()));
    LinuxSizes before = linuxSizes(linuxPid);
    scout._1updateProcessStats(jni, detector);
    LinuxSizes after = linuxSizes(linuxPid);
    double resident = field(detector, "residentSizeKb").value_or(-1);
    double peak = field(detector, "totalSizeKb").value_or(-1);
    const double slack = 256; // kB; the helper is idle, but its runtime may still move a page
    EXPECT_GE(resident, std::min(before.residentKb, after.residentKb) - slack);
    EXPECT_LE(resident, std::max(before.residentKb, after.residentKb) + slack);
    EXPECT_GE(peak, std::min(before.peakKb, after.peakKb) - slack);
    EXPECT_LE(peak, std::max(before.peakKb, after.peakKb) + slack);
    EXPECT_GE(peak, 96 * 1024) << "the peak working set holds all it touched";
    EXPECT_GE(peak - resident, 64 * 1024) << "totalSizeKb is the peak, residentSizeKb what is left";

    EXPECT_TRUE(helper.finish());
    for (int i = 0; i < 50 && linuxPidWith(token) != 0; i++) {
        Sleep(100);
    }
    EXPECT_EQ(linuxPidWith(token), 0) << "the helper is gone";
}

TEST_F(ProcessSizes, ThisProcessAndProcessesThatCannotBeRead)
{
    struct Case {
        const char* name;
        std::optional<jint> pid; // nullopt: the class has no "pid" field
        bool thisProcess;        // else: sizes 0
    };
    const Case cases[] = {
        {"no pid field", std::nullopt, true},
        {"pid 0", 0, true},
        {"this process's id", static_cast<jint>(GetCurrentProcessId()), true},
        {"an id no process has", 0x7FFFFFF0, false},
        {"a negative id", -7, false},
    };
    PROCESS_MEMORY_COUNTERS own;
    GetProcessMemoryInfo(GetCurrentProcess(), &own, sizeof own);
    for (const Case& c : cases) {
        TestJniEnv env;
        jobject detector = env.newInstance(detectorClass);
        if (c.pid) {
            env.env()->SetIntField(detector, env.env()->GetFieldID(nullptr, "pid", "I"), *c.pid);
        } else {
            env.hideField("pid");
        }
        std::string out = captureStdout([&] { scout._1updateProcessStats(env, detector); });
        EXPECT_EQ(out, "") << c.name;
        EXPECT_FALSE(env.exceptionPending()) << c.name;
        double resident = env.numberField(detector, "residentSizeKb").value_or(-1);
        double peak = env.numberField(detector, "totalSizeKb").value_or(-1);
        if (c.thisProcess) {
            EXPECT_NEAR(resident, static_cast<double>(own.WorkingSetSize >> 10), 4096) << c.name;
            EXPECT_GE(peak, resident) << c.name;
        } else {
            EXPECT_EQ(resident, 0) << c.name;
            EXPECT_EQ(peak, 0) << c.name;
        }
    }

    // A class without the size fields: the lookup error stays pending and no
    // JNI call follows it.
    TestJniEnv env;
    env.hideField("residentSizeKb");
    jobject detector = env.newInstance(detectorClass);
    scout._1updateProcessStats(env, detector);
    ASSERT_TRUE(env.exceptionPending());
    EXPECT_EQ(env.pending()->className, "java/lang/NoSuchFieldError");
    EXPECT_EQ(env.callsWhilePending(), 0);
    EXPECT_FALSE(env.numberField(detector, "totalSizeKb").has_value());
}

} // namespace
