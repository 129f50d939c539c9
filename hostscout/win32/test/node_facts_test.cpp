// The Windows node facts under wine, each test with a fresh copy of
// NTHostScout.dll, compared with what Linux reports.  Our powrprof.dll
// stand-in passes the power request to wine or fails it; our iphlpapi.dll
// stand-in gives the adapter lists wine cannot.  Kernel32 cannot be stood
// in: its exports are redirected in this process where a test needs it
// (wine 8 leaves the hardware-thread flag out of GetLogicalProcessorInformation,
// which the tests restore from GetLogicalProcessorInformationEx).
//
// The CTest entries run groups of these tests with the DLL overrides and
// private namespaces they need (see CMakeLists.txt).
#include "com_qor_vt_mr_hostscout_nt_NTHostScout.h"
#include "com_qor_vt_mr_hostscout_process_ProcessDetectorImpl.h"
#include "com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil.h"
#include "common/test/child_pipes.h"
#include "common/test/test_jni_env.h"
#include "common/test/win32_seams.h"
#include "procctl/win32/test/win32_test_support.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using win32test::captureStdout;
using win32test::ExportPatch;
using win32test::kbField;
using win32test::LibraryCopy;
using win32test::linuxFile;
using win32test::linuxOnlineProcessors;
using win32test::linuxPidWith;

namespace {

#define NATIVE(cls, name)                                                                                              \
    decltype(&Java_com_qor_vt_mr_##cls##_##name) name =                                                                \
        lib.entry<decltype(&Java_com_qor_vt_mr_##cls##_##name)>("Java_com_qor_vt_mr_" #cls "_" #name)

// The natives of a fresh copy of the library.
struct Scout {
    LibraryCopy lib{"NTHostScout"};
    NATIVE(hostscout_nt_NTHostScout, getCpuInfo);
    NATIVE(hostscout_nt_NTHostScout, getMemInfo);
    NATIVE(hostscout_process_ProcessDetectorImpl, _1updateProcessStats);
    NATIVE(vv_hostscout_NetworkInterfaceUtil, getMacAddrsWin);
    NATIVE(vv_hostscout_NetworkInterfaceUtil, enableNativeTracing);
};

const char* const hostScoutClass = "com/qor/vt/mr/hostscout/nt/NTHostScout";
const char* const detectorClass = "com/qor/vt/mr/hostscout/process/ProcessDetectorImpl";

class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        SetEnvironmentVariableA(name, *value != '\0' ? value : nullptr);
    }
    ~ScopedEnv() { SetEnvironmentVariableA(name_, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
};

// The module name loads, and whether it is our stand-in.
HMODULE loadedStandin(const char* name)
{
    HMODULE module = LoadLibraryA(name);
    char path[MAX_PATH + 1] = {0};
    GetModuleFileNameA(module, path, MAX_PATH);
    return std::string(path).find("standin") != std::string::npos ? module : nullptr;
}

// Wine's GetLogicalProcessorInformation with each core's hardware-thread
// flag as GetLogicalProcessorInformationEx has it.
using GlpiFn = BOOL(WINAPI*)(SYSTEM_LOGICAL_PROCESSOR_INFORMATION*, DWORD*);
GlpiFn systemGlpi = nullptr;

BOOL WINAPI glpiWithThreadFlags(SYSTEM_LOGICAL_PROCESSOR_INFORMATION* records, DWORD* length)
{
    BOOL ok = systemGlpi(records, length);
    if (!ok || records == nullptr) {
        return ok;
    }
    DWORD exLength = 0;
    GetLogicalProcessorInformationEx(RelationProcessorCore, nullptr, &exLength);
    std::vector<char> ex(exLength);
    auto* first = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(ex.data());
    if (!GetLogicalProcessorInformationEx(RelationProcessorCore, first, &exLength)) {
        return ok;
    }
    for (DWORD i = 0; i < *length / sizeof *records; i++) {
        for (DWORD at = 0; at < exLength && records[i].Relationship == RelationProcessorCore;) {
            auto* core = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX*>(ex.data() + at);
            if (core->Processor.GroupMask[0].Mask == records[i].ProcessorMask) {
                records[i].ProcessorCore.Flags = core->Processor.Flags;
            }
            at += core->Size;
        }
    }
    return ok;
}

// A logical-processor list that grows by a hyper-threaded core between the
// size query and the first read, and one that cannot be read.
BOOL WINAPI growingGlpi(SYSTEM_LOGICAL_PROCESSOR_INFORMATION* records, DWORD* length)
{
    static DWORD calls = 0;
    DWORD needed = (++calls == 1 ? 1 : 2) * sizeof *records;
    if (records == nullptr || *length < needed) {
        *length = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(records, 0, needed);
    records[0].ProcessorMask = 1;
    records[1].ProcessorMask = 6;
    records[1].ProcessorCore.Flags = 1;
    *length = needed;
    return TRUE;
}

BOOL WINAPI failingGlpi(SYSTEM_LOGICAL_PROCESSOR_INFORMATION* /*records*/, DWORD* /*length*/)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

class NodeFacts : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(scout.getCpuInfo, nullptr) << "NTHostScout.dll did not load";
        HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
        systemGlpi = procAddress<GlpiFn>(kernel32, "GetLogicalProcessorInformation");
        threadFlags = std::make_unique<ExportPatch>(kernel32, "GetLogicalProcessorInformation",
                                                    reinterpret_cast<const void*>(&glpiWithThreadFlags));
        ASSERT_TRUE(threadFlags->applied());
    }

    std::optional<double> field(jobject object, const char* name) { return jni.numberField(object, name); }

    std::unique_ptr<ExportPatch> threadFlags;
    Scout scout;
    TestJniEnv jni;
};

// The mean maximum clock of the online processors, as Linux tells it: the
// cpufreq limit where there is one, else the clock in /proc/cpuinfo.
unsigned linuxMeanMaxMhz()
{
    int n = linuxOnlineProcessors();
    std::string cpuinfo = linuxFile("/proc/cpuinfo").value_or("");
    unsigned sum = 0;
    size_t at = 0;
    for (int i = 0; i < n; i++) {
        auto khz = linuxFile("/sys/devices/system/cpu/cpu" + std::to_string(i) + "/cpufreq/cpuinfo_max_freq");
        at = cpuinfo.find("cpu MHz", at);
        if (khz) {
            sum += static_cast<unsigned>(strtoul(khz->c_str(), nullptr, 10) / 1000);
        } else if (at != std::string::npos) {
            sum += static_cast<unsigned>(strtod(cpuinfo.c_str() + cpuinfo.find(':', at) + 1, nullptr));
        }
        at = at == std::string::npos ? at : at + 1;
    }
    return n > 0 ? sum / static_cast<unsigned>(n) : 0;
}

bool linuxHardwareThreads()
{
    std::string siblings = linuxFile("/sys/devices/system/cpu/cpu0/topology/thread_siblings_list").value_or("");
    return siblings.find_first_of(",-") != std::string::npos;
}

TEST_F(NodeFacts, ProcessorsAndMemoryAgainstLinux)
{
    ASSERT_NE(loadedStandin("powrprof.dll"), nullptr) << "run with QOR_WINEDLLOVERRIDES=powrprof=n";
    jobject facts = jni.newInstance(hostScoutClass);
    std::string out = captureStdout([&] {
        scout.getCpuInfo(jni, facts);
        scout.getMemInfo(jni, facts);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(field(facts, "cpus"), linuxOnlineProcessors());
    EXPECT_NEAR(field(facts, "mhz").value_or(-1), linuxMeanMaxMhz(), 1.0);
    EXPECT_EQ(field(facts, "isf"), linuxHardwareThreads() ? 0.75 : 1.0);
    double total = static_cast<double>(kbField(linuxFile("/proc/meminfo").value_or(""), "MemTotal").value_or(0)) * 1024;
    EXPECT_NEAR(field(facts, "membytes").value_or(-1), total, 1 << 20);
    EXPECT_FALSE(jni.exceptionPending());
}

// Run with four processors clocked at 2400, 2400, 2401 and 2400 MHz.
TEST_F(NodeFacts, FourProcessorsAt2400)
{
    jobject facts = jni.newInstance(hostScoutClass);
    scout.getCpuInfo(jni, facts);
    EXPECT_EQ(field(facts, "cpus"), 4);
    EXPECT_EQ(field(facts, "mhz"), 2400);
    EXPECT_EQ(field(facts, "isf"), 1.0);
}

// Run with eight logical processors on four cores of two hardware threads.
TEST_F(NodeFacts, EightProcessorsOnFourHyperThreadedCores)
{
    jobject facts = jni.newInstance(hostScoutClass);
    scout.getCpuInfo(jni, facts);
    EXPECT_EQ(field(facts, "cpus"), 8);
    EXPECT_EQ(field(facts, "isf"), 0.75);
}

TEST_F(NodeFacts, PowerAndProcessorEntriesMissingOrFailing)
{
    HMODULE powrprof = loadedStandin("powrprof.dll");
    ASSERT_NE(powrprof, nullptr) << "run with QOR_WINEDLLOVERRIDES=powrprof=n";
    struct Case {
        const char* name;
        bool hidePower;
        bool failPower;
        bool replaceProcessors;
        const void* processors; // in place of GetLogicalProcessorInformation
        bool cpusSet;
        std::optional<double> isf;
        const char* out; // over two calls: the message is printed once in the library's life
    };
    const Case cases[] = {
        {"no CallNtPowerInformation", true, false, false, nullptr, false, 1.0,
         "ERROR: unable to obtain entrypoint CallNtPowerInformation in powrprof.dll\n"},
        {"failing power records", false, true, false, nullptr, false, 1.0, ""},
        {"no GetLogicalProcessorInformation", false, false, true, nullptr, true, std::nullopt, ""},
        {"failing processor records", false, false, true, reinterpret_cast<const void*>(&failingGlpi), true,
         std::nullopt, ""},
        {"processor records that grow", false, false, true, reinterpret_cast<const void*>(&growingGlpi), true, 0.75,
         ""},
    };
    for (const Case& c : cases) {
        Scout fresh;
        ExportPatch power(powrprof, "CallNtPowerInformation",
                          c.hidePower ? nullptr : procAddress<const void*>(powrprof, "CallNtPowerInformation"));
        ScopedEnv fail("QOR_POWRPROF_FAIL", c.failPower ? "1" : "");
        std::unique_ptr<ExportPatch> processors;
        if (c.replaceProcessors) {
            processors = std::make_unique<ExportPatch>(GetModuleHandleA("kernel32.dll"),
                                                       "GetLogicalProcessorInformation", c.processors);
        }
        jobject facts = jni.newInstance(hostScoutClass);
        std::string out = captureStdout([&] {
            fresh.getCpuInfo(jni, facts);
            fresh.getCpuInfo(jni, facts);
        });
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(field(facts, "cpus").has_value(), c.cpusSet) << c.name;
        EXPECT_EQ(field(facts, "mhz").has_value(), c.cpusSet) << c.name;
        EXPECT_EQ(field(facts, "isf"), c.isf) << c.name;
    }
}

BOOL WINAPI failingStatusEx(MEMORYSTATUSEX* status)
{
    status->ullTotalPhys = 12345678;
    return FALSE;
}

TEST_F(NodeFacts, MemoryStatusMissingOrFailing)
{
    struct Case {
        const char* name;
        const void* statusEx;
        const char* out; // over two calls: printed each time
    };
    const Case cases[] = {
        {"no GlobalMemoryStatusEx", nullptr,
         "ERROR: unable to obtain entrypoint GlobalMemoryStatusEx in kernel32.dll\n"
         "ERROR: unable to obtain entrypoint GlobalMemoryStatusEx in kernel32.dll\n"},
        {"failing GlobalMemoryStatusEx", reinterpret_cast<const void*>(&failingStatusEx), ""},
    };
    for (const Case& c : cases) {
        ExportPatch patch(GetModuleHandleA("kernel32.dll"), "GlobalMemoryStatusEx", c.statusEx);
        ASSERT_TRUE(patch.applied());
        jobject facts = jni.newInstance(hostScoutClass);
        std::string out = captureStdout([&] {
            scout.getMemInfo(jni, facts);
            scout.getMemInfo(jni, facts);
        });
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_FALSE(field(facts, "membytes").has_value()) << c.name;
    }
}

using ProcessSizes = NodeFacts;

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

using MacAddresses = NodeFacts;

std::vector<std::string> split(const std::string& list)
{
    std::vector<std::string> items;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        items.push_back(item);
    }
    return items;
}

TEST_F(MacAddresses, AdapterLists)
{
    HMODULE iphlpapi = loadedStandin("iphlpapi.dll");
    ASSERT_NE(iphlpapi, nullptr) << "run with QOR_WINEDLLOVERRIDES=iphlpapi=n";
    struct Case {
        const char* name;
        const char* adapters;
        const char* gaa;
        const char* gai;
        bool hideGaa;
        bool hideGai;
        std::optional<std::vector<std::string>> result; // nullopt: null
        const char* exception;                          // nullptr: none
    };
    const std::vector<std::string> one = {"00-1A-2B-3C-4D-5E"};
    const Case cases[] = {
        {"loopback and an Ethernet adapter", "lo,00-1A-2B-3C-4D-5E", "", "", false, false, one, nullptr},
        {"an 8-byte address", "01-02-03-04-05-06-07-08", "", "", false, false,
         std::vector<std::string>{"01-02-03-04-05-06-07-08"}, nullptr},
        {"a length beyond the 8 bytes of the record", "01-02-03-04-05-06-07-08-09", "", "", false, false,
         std::vector<std::string>{"01-02-03-04-05-06-07-08"}, nullptr},
        {"only loopback", "lo", "", "", false, false, std::nullopt, nullptr},
        {"addresses not supported", "lo,00-1A-2B-3C-4D-5E,lo,02-00-5E-10-00-01", "unsupported", "", false, false,
         std::vector<std::string>{"00-1A-2B-3C-4D-5E", "02-00-5E-10-00-01"}, nullptr},
        {"no GetAdaptersAddresses", "lo,00-1A-2B-3C-4D-5E", "", "", true, false, one, nullptr},
        {"neither function", "lo,00-1A-2B-3C-4D-5E", "", "", true, true, std::nullopt, nullptr},
        {"a list that grows", "lo,00-1A-2B-3C-4D-5E", "grow", "", false, false,
         std::vector<std::string>{"00-1A-2B-3C-4D-5E", "02-00-00-00-00-99"}, nullptr},
        {"a list that grows, other function", "lo,00-1A-2B-3C-4D-5E", "unsupported", "grow", false, false,
         std::vector<std::string>{"00-1A-2B-3C-4D-5E", "02-00-00-00-00-99"}, nullptr},
        {"a failing read", "lo,00-1A-2B-3C-4D-5E", "error", "", false, false, std::nullopt,
         "GetAdapersAddresses() returned error; rc=87"},
        {"a failing read, other function", "lo,00-1A-2B-3C-4D-5E", "unsupported", "error", false, false, std::nullopt,
         "GetAdapersInfo() returned error; rc2=87"},
    };
    for (const Case& c : cases) {
        ScopedEnv adapters("QOR_IPHLP_ADAPTERS", c.adapters);
        ScopedEnv gaa("QOR_IPHLP_GAA", c.gaa);
        ScopedEnv gai("QOR_IPHLP_GAI", c.gai);
        // Patched before the fresh copy looks the entries up.
        ExportPatch addresses(iphlpapi, "GetAdaptersAddresses",
                              c.hideGaa ? nullptr : procAddress<const void*>(iphlpapi, "GetAdaptersAddresses"));
        ExportPatch info(iphlpapi, "GetAdaptersInfo",
                         c.hideGai ? nullptr : procAddress<const void*>(iphlpapi, "GetAdaptersInfo"));
        Scout fresh;
        TestJniEnv env;
        jobjectArray result = fresh.getMacAddrsWin(env, nullptr);
        if (c.result) {
            ASSERT_NE(result, nullptr) << c.name;
            EXPECT_EQ(env.strings(result), *c.result) << c.name;
        } else {
            EXPECT_EQ(result, nullptr) << c.name;
        }
        std::optional<TestJniEnv::Exception> thrown = env.takeException();
        if (c.exception != nullptr) {
            ASSERT_TRUE(thrown.has_value()) << c.name;
            EXPECT_EQ(thrown->className, "java/lang/Exception") << c.name;
            EXPECT_EQ(thrown->message, c.exception) << c.name;
        } else {
            EXPECT_FALSE(thrown.has_value()) << c.name << ": " << thrown->message;
        }
    }
}

TEST_F(MacAddresses, NoJniCallWhileAnErrorIsPending)
{
    ASSERT_NE(loadedStandin("iphlpapi.dll"), nullptr) << "run with QOR_WINEDLLOVERRIDES=iphlpapi=n";
    ScopedEnv adapters("QOR_IPHLP_ADAPTERS", "02-00-00-00-00-01,02-00-00-00-00-02,02-00-00-00-00-03");
    struct Case {
        const char* name;
        const char* hiddenClass;
        int strings; // NewStringUTF succeeds this often (-1: always)
        const char* gaa;
        const char* pending;
    };
    const Case cases[] = {
        {"no String class", "java/lang/String", -1, "", "java/lang/NoClassDefFoundError"},
        {"no memory for the second text", nullptr, 1, "", "java/lang/OutOfMemoryError"},
        {"no Exception class", "java/lang/Exception", -1, "error", "java/lang/NoClassDefFoundError"},
    };
    for (const Case& c : cases) {
        ScopedEnv gaa("QOR_IPHLP_GAA", c.gaa);
        TestJniEnv env;
        if (c.hiddenClass != nullptr) {
            env.hideClass(c.hiddenClass);
        }
        env.failStringsAfter(c.strings);
        EXPECT_EQ(scout.getMacAddrsWin(env, nullptr), nullptr) << c.name;
        ASSERT_TRUE(env.exceptionPending()) << c.name;
        EXPECT_EQ(env.pending()->className, c.pending) << c.name;
        EXPECT_EQ(env.callsWhilePending(), 0) << c.name;
    }
}

TEST_F(MacAddresses, TraceLinesWhileTracingIsOn)
{
    ASSERT_NE(loadedStandin("iphlpapi.dll"), nullptr) << "run with QOR_WINEDLLOVERRIDES=iphlpapi=n";
    ScopedEnv adapters("QOR_IPHLP_ADAPTERS", "lo,00-1A-2B-3C-4D-5E");
    ScopedEnv gaa("QOR_IPHLP_GAA", "unsupported");
    const std::string load = "NetworkInterfaceUtil Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_loadDLL ";
    const std::string entry =
        "NetworkInterfaceUtil Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsWin ";
    const std::string format = "NetworkInterfaceUtil getMacAddress ";
    const std::vector<std::string> expected = {
        load + " modIphlpapi= 0",
        load + " LoadLibrary\\.\\. modIphlpapi= -?[0-9]+",
        load + " GetAdaptersAddresses; gaa= -?[0-9]+",
        load + " GetAdaptersInfo; gai= -?[0-9]+",
        entry + " First call to GetAdapterAddreses\\(\\); rc= 50",
        entry + " Second call to GetAdapterAddreses\\(\\); rc= 50",
        entry +
            "getApdatersAddresses\\(\\) returned ERROR_NOT_SUPPORTED\\. Trying GetAdaptersInfo\\(\\) next\\.\\. rc= 50",
        entry + " First call to GetAdaptersInfo\\(\\); rc2= 111",
        entry + " Second call to GetAdaptersInfo\\(\\); rc2= 0",
        entry + "getNumAdaptersGAI\\(\\) returned length= 1",
        entry + "pAdapterInfo->AddressLength= 0",
        entry + "pAdapterInfo->AddressLength= 6",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 2",
        format + "macAddr= 00-1A-2B-3C-4D-5E",
    };
    scout.enableNativeTracing(jni, nullptr, JNI_TRUE);
    std::string out = captureStdout([&] { scout.getMacAddrsWin(jni, nullptr); });
    std::vector<std::string> lines;
    std::stringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), expected.size()) << out;
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
    }
    scout.enableNativeTracing(jni, nullptr, JNI_FALSE);
    EXPECT_EQ(captureStdout([&] { scout.getMacAddrsWin(jni, nullptr); }), "");
}

// Run in a private network namespace (cmake/wine-namespace.sh net), through
// wine's own iphlpapi.dll.
TEST_F(MacAddresses, OfTheNamespacesInterfaces)
{
    const char* expected = getenv("QOR_EXPECTED_MACS");
    ASSERT_NE(expected, nullptr) << "run in the namespace that wine-namespace.sh net makes";
    jobjectArray result = scout.getMacAddrsWin(jni, nullptr);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(jni.strings(result), split(expected));
    EXPECT_FALSE(jni.exceptionPending());
}

// Run where powrprof.dll and iphlpapi.dll cannot be loaded.
TEST_F(NodeFacts, MissingPowerAndAdapterLibraries)
{
    jobject facts = jni.newInstance(hostScoutClass);
    std::string out = captureStdout([&] {
        scout.getCpuInfo(jni, facts);
        scout.getCpuInfo(jni, facts);
    });
    EXPECT_EQ(out, "ERROR: unable to load powrprof.dll\n");
    EXPECT_FALSE(field(facts, "cpus").has_value());
    EXPECT_FALSE(field(facts, "mhz").has_value());
    EXPECT_TRUE(field(facts, "isf").has_value());

    EXPECT_EQ(scout.getMacAddrsWin(jni, nullptr), nullptr);
    std::optional<TestJniEnv::Exception> thrown = jni.takeException();
    ASSERT_TRUE(thrown.has_value());
    EXPECT_EQ(thrown->message, "loadDLL() couldn't load iphlpapi.dll.");
}

} // namespace

int main(int argc, char** argv)
{
    // The stand-ins of system DLLs are found here (the DLL override says
    // whether a stand-in or the system's own is loaded).
    SetDllDirectoryA(win32test::standinDirectory().c_str());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
