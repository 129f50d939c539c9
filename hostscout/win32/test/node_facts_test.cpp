// The Windows node facts (processors, clock, memory) under wine, each test
// with a fresh copy of NTHostScout.dll, compared with what Linux reports.  Our powrprof.dll
// stand-in passes the power request to wine or fails it; our iphlpapi.dll
// stand-in gives the adapter lists wine cannot.  Kernel32 cannot be stood
// in: its exports are redirected in this process where a test needs it
// (wine 8 leaves the hardware-thread flag out of GetLogicalProcessorInformation,
// which the tests restore from GetLogicalProcessorInformationEx).
//
// The CTest entries run groups of these tests with the DLL overrides and
// private namespaces they need (see CMakeLists.txt).
#include "hostscout/win32/test/scout_test_support.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using scouttest::detectorClass;
using scouttest::hostScoutClass;
using scouttest::loadedStandin;
using scouttest::ScopedEnv;
using scouttest::Scout;
using win32test::captureStdout;
using win32test::ExportPatch;
using win32test::kbField;
using win32test::linuxFile;
using win32test::linuxOnlineProcessors;

namespace {

using NodeFacts = scouttest::ScoutTest;

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
