// The Windows host gauge under wine, each test with a fresh copy of
// HostGauge.dll.  The counters come from our pdh.dll stand-in (wine has no
// per-processor counters and no name table), with fixture values; memory and
// process times come from wine and are compared with what Linux reports.
#include "com_qor_vt_rlm_server_system_HostGauge.h"
#include "common/test/test_jni_env.h"
#include "common/test/win32_seams.h"
#include "hostgauge/win32/hostgauge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using win32test::ExportPatch;
using win32test::kbField;
using win32test::LibraryCopy;
using win32test::linuxFile;
using win32test::linuxOnlineProcessors;

namespace {

#define NATIVE(name)                                                                                                   \
    decltype(&Java_com_qor_vt_rlm_server_system_HostGauge_##name) name =                                               \
        lib.entry<decltype(&Java_com_qor_vt_rlm_server_system_HostGauge_##name)>(                                      \
            "Java_com_qor_vt_rlm_server_system_HostGauge_" #name)

// The natives of a fresh copy of the library.
struct Gauge {
    LibraryCopy lib{"HostGauge"};
    NATIVE(initCpuUtilization);
    NATIVE(getCpuUtilization);
    NATIVE(finalizeCpuUtilization);
    NATIVE(getFreeMemory);
    NATIVE(initProcLoadUtilization);
    NATIVE(getProcLoadUtilization);
    NATIVE(getAverageProcLoadUtilization);
};

// An environment variable of this process (which the stand-in reads) for
// the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) { SetEnvironmentVariableA(name, value); }
    ~ScopedEnv() { SetEnvironmentVariableA(name_, nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
};

// What the pdh.dll stand-in was asked.
std::string addedPaths()
{
    auto paths = procAddress<const char* (*)()>(GetModuleHandleA("pdh.dll"), "qor_standin_added_paths");
    return paths != nullptr ? paths() : "<no stand-in>";
}

int openQueries()
{
    auto open = procAddress<int (*)()>(GetModuleHandleA("pdh.dll"), "qor_standin_open_queries");
    return open != nullptr ? open() : -1;
}

// Calls the stand-in refused for a query or counter that was no longer open.
int staleHandles()
{
    auto stale = procAddress<int (*)()>(GetModuleHandleA("pdh.dll"), "qor_standin_stale_handles");
    return stale != nullptr ? stale() : -1;
}

uint32_t processorCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

std::string expectedPaths(const std::string& object, const std::string& counter, uint32_t n)
{
    std::string paths;
    for (uint32_t i = 0; i < n; i++) {
        paths += "\\" + object + "(" + std::to_string(i) + ")\\" + counter + "\n";
    }
    return paths;
}

class HostGaugeTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(gauge.initCpuUtilization, nullptr) << "HostGauge.dll did not load";
        ASSERT_NE(GetProcAddress(GetModuleHandleA("pdh.dll"), "qor_standin_added_paths"), nullptr)
            << "pdh.dll is not the stand-in: run with QOR_WINEDLLOVERRIDES=pdh=n";
    }

    Gauge gauge;
    TestJniEnv jni;
};

using CpuUtilization = HostGaugeTest;

void spin(std::chrono::milliseconds length)
{
    std::atomic<bool> stop{false};
    std::thread spinner([&stop] {
        volatile unsigned long long n = 0;
        while (!stop.load()) {
            n = n + 1;
        }
    });
    Sleep(static_cast<DWORD>(length.count()));
    stop = true;
    spinner.join();
}

TEST_F(CpuUtilization, ACounterForEveryProcessor)
{
    ASSERT_EQ(processorCount(), static_cast<uint32_t>(linuxOnlineProcessors())) << "wine's processor count";
    ScopedEnv values("QOR_PDH_VALUES", "33.7");
    jbyteArray state = jni.byteArray(std::vector<jbyte>(24, 0));
    std::string before = addedPaths();
    ASSERT_EQ(gauge.initCpuUtilization(jni, nullptr, 0, state), 0);
    EXPECT_EQ(addedPaths().substr(before.size()), expectedPaths("Processor", "% Processor Time", processorCount()));
    std::vector<unsigned char> bytes = jni.primitiveBytes(state);
    uint32_t n = 0;
    memcpy(&n, bytes.data() + 16, sizeof n);
    EXPECT_EQ(n, processorCount());
    EXPECT_EQ(gauge.getCpuUtilization(jni, nullptr, 0, state), 33);

    EXPECT_EQ(gauge.finalizeCpuUtilization(jni, nullptr, 0, state), 0);
    EXPECT_EQ(jni.primitiveBytes(state), std::vector<unsigned char>(24, 0)) << "the set's fields are cleared";
    EXPECT_EQ(openQueries(), 0);
    EXPECT_EQ(jni.unreleased(), 0);
}

// Arrays that hold no live counter set are neither read through nor written.
TEST_F(CpuUtilization, ArraysWithoutALiveSet)
{
    std::vector<jbyte> garbage(20);
    for (size_t i = 0; i < garbage.size(); i++) {
        garbage[i] = static_cast<jbyte>(0x41 + i);
    }
    struct Case {
        const char* name;
        jbyteArray state;
        int init;
    };
    const Case cases[] = {
        {"null", nullptr, -1},
        {"19 bytes", jni.byteArray(std::vector<jbyte>(19, 7)), -1},
        {"never initialised", jni.byteArray(std::vector<jbyte>(20, 0)), 0},
        {"foreign bytes", jni.byteArray(garbage), 0},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> content =
            c.state != nullptr ? jni.primitiveBytes(c.state) : std::vector<unsigned char>{};
        EXPECT_EQ(gauge.getCpuUtilization(jni, nullptr, 0, c.state), -1) << c.name;
        EXPECT_EQ(gauge.finalizeCpuUtilization(jni, nullptr, 0, c.state), 0) << c.name;
        if (c.state != nullptr) {
            EXPECT_EQ(jni.primitiveBytes(c.state), content) << c.name << ": left alone";
        }
        EXPECT_EQ(gauge.initCpuUtilization(jni, nullptr, 0, c.state), c.init) << c.name;
        gauge.finalizeCpuUtilization(jni, nullptr, 0, c.state);
    }
    EXPECT_EQ(openQueries(), 0);

    // A finalised set, its array finalised again or copied before: -1 and 0,
    // nothing freed twice or used after it was freed.
    jbyteArray state = jni.byteArray(std::vector<jbyte>(20, 0));
    ASSERT_EQ(gauge.initCpuUtilization(jni, nullptr, 0, state), 0);
    jbyteArray copy = jni.byteArray([&] {
        std::vector<unsigned char> bytes = jni.primitiveBytes(state);
        return std::vector<jbyte>(bytes.begin(), bytes.end());
    }());
    // Built again on the same array, the first set is released, not lost.
    ASSERT_EQ(gauge.initCpuUtilization(jni, nullptr, 0, state), 0);
    EXPECT_EQ(openQueries(), 1);
    EXPECT_EQ(gauge.getCpuUtilization(jni, nullptr, 0, copy), -1);
    EXPECT_EQ(gauge.finalizeCpuUtilization(jni, nullptr, 0, state), 0);
    EXPECT_EQ(gauge.finalizeCpuUtilization(jni, nullptr, 0, state), 0);
    EXPECT_EQ(gauge.getCpuUtilization(jni, nullptr, 0, state), -1);
    EXPECT_EQ(openQueries(), 0);
    EXPECT_EQ(jni.unreleased(), 0);
}

// Copies of an array sampled and finalised on another thread while the
// owner releases and builds its set again: no query or counter is used
// after it was closed, and no set is lost.
TEST_F(CpuUtilization, CopiesUsedOnAnotherThreadWhileTheSetIsRebuilt)
{
    ScopedEnv values("QOR_PDH_VALUES", "50");
    jbyteArray state = jni.byteArray(std::vector<jbyte>(20, 0));
    std::vector<jbyteArray> copies = {jni.byteArray(std::vector<jbyte>(20, 0)),
                                      jni.byteArray(std::vector<jbyte>(20, 0))};
    int staleBefore = staleHandles();
    ASSERT_EQ(gauge.initCpuUtilization(jni, nullptr, 0, state), 0);
    std::atomic<bool> stop{false};
    std::thread user([&] {
        TestJniEnv env; // a thread's own environment, as in a JVM
        for (int i = 0; !stop; i++) {
            for (jbyteArray copy : copies) {
                gauge.getCpuUtilization(env, nullptr, 0, copy);
                if (i % 4 == 3) {
                    gauge.finalizeCpuUtilization(env, nullptr, 0, copy);
                }
            }
        }
    });
    for (int i = 0; i < 2000; i++) {
        std::vector<unsigned char> bytes = jni.primitiveBytes(state);
        for (jbyteArray copy : copies) {
            jni.env()->SetByteArrayRegion(copy, 0, 20, reinterpret_cast<const jbyte*>(bytes.data()));
        }
        gauge.finalizeCpuUtilization(jni, nullptr, 0, state);
        gauge.initCpuUtilization(jni, nullptr, 0, state);
    }
    stop = true;
    user.join();
    gauge.finalizeCpuUtilization(jni, nullptr, 0, state);
    EXPECT_EQ(staleHandles() - staleBefore, 0) << "queries or counters used after they were closed";
    EXPECT_EQ(openQueries(), 0);
}

TEST_F(CpuUtilization, CounterNamesAndFailures)
{
    struct Case {
        const char* names;
        const char* fail;
        int init;
        int get;
        bool recorded; // the set is in the array (and must be finalised)
        const char* object;
        const char* counter;
    };
    const Case cases[] = {
        // A German system's names; the look-ups failing fall back to the English ones.
        {"de", "", 0, -2, true, "Prozessor", "Prozessorzeit (%)"},
        {"fail", "", 0, -2, true, "Processor", "% Processor Time"},
        {"", "open", -1, -1, false, nullptr, nullptr},
        {"", "add:1", -1, -1, true, "Processor", "% Processor Time"},
        {"", "collect", -1, -1, true, "Processor", "% Processor Time"},
        // Formatting is not part of the priming collection; the next sample fails.
        {"", "format", 0, -1, true, "Processor", "% Processor Time"},
    };
    for (const Case& c : cases) {
        ScopedEnv names("QOR_PDH_NAMES", c.names);
        ScopedEnv fail("QOR_PDH_FAIL", c.fail);
        std::string label = std::string(c.names) + "/" + c.fail;
        jbyteArray state = jni.byteArray(std::vector<jbyte>(20, 5));
        std::string before = addedPaths();
        EXPECT_EQ(gauge.initCpuUtilization(jni, nullptr, 0, state), c.init) << label;
        if (c.object != nullptr) {
            uint32_t added = std::string(c.fail) == "add:1" ? 2 : processorCount();
            EXPECT_EQ(addedPaths().substr(before.size()), expectedPaths(c.object, c.counter, added)) << label;
        }
        if (c.get != -2) {
            EXPECT_EQ(gauge.getCpuUtilization(jni, nullptr, 0, state), c.get) << label;
        }
        EXPECT_EQ(jni.primitiveBytes(state) != std::vector<unsigned char>(20, 5), c.recorded) << label;
        EXPECT_EQ(openQueries(), c.recorded ? 1 : 0) << label;
        gauge.finalizeCpuUtilization(jni, nullptr, 0, state);
        EXPECT_EQ(openQueries(), 0) << label;
    }
}

// Run with four processors (cmake/wine-namespace.sh cpus 4 ...).
TEST_F(CpuUtilization, FourProcessorsAverageTheirTruncatedValues)
{
    ASSERT_EQ(processorCount(), 4U);
    ScopedEnv values("QOR_PDH_VALUES", "10.9,20.9,30.9,40.9");
    jbyteArray state = jni.byteArray(std::vector<jbyte>(20, 0));
    std::string before = addedPaths();
    ASSERT_EQ(gauge.initCpuUtilization(jni, nullptr, 0, state), 0);
    EXPECT_EQ(addedPaths().substr(before.size()), "\\Processor(0)\\% Processor Time\n"
                                                  "\\Processor(1)\\% Processor Time\n"
                                                  "\\Processor(2)\\% Processor Time\n"
                                                  "\\Processor(3)\\% Processor Time\n");
    EXPECT_EQ(gauge.getCpuUtilization(jni, nullptr, 0, state), 25); // (10 + 20 + 30 + 40) / 4
    gauge.finalizeCpuUtilization(jni, nullptr, 0, state);
}

using FreeMemory = HostGaugeTest;

// Wine reports as available what Linux has free, in buffers and in the page cache.
uint64_t linuxAvailableKb()
{
    std::string meminfo = linuxFile("/proc/meminfo").value_or("");
    return kbField(meminfo, "MemFree").value_or(0) + kbField(meminfo, "Buffers").value_or(0) +
           kbField(meminfo, "Cached").value_or(0);
}

TEST_F(FreeMemory, AvailableMemoryAgainstMeminfo)
{
    uint64_t before = linuxAvailableKb();
    int kb = gauge.getFreeMemory(jni, nullptr, 0, nullptr);
    uint64_t after = linuxAvailableKb();
    ASSERT_GT(before, 0U);
    const uint64_t slack = 32 * 1024; // other processes of the machine at work meanwhile
    EXPECT_GE(static_cast<uint64_t>(kb) + slack, std::min(before, after));
    EXPECT_LE(static_cast<uint64_t>(kb), std::max(before, after) + slack);
}

// Stand-ins for kernel32's memory functions, put in its export table.
uint64_t fixtureBytes = 0;
BOOL WINAPI statusEx(MEMORYSTATUSEX* status)
{
    status->ullAvailPhys = fixtureBytes;
    return TRUE;
}
BOOL WINAPI failingStatusEx(MEMORYSTATUSEX* status)
{
    status->ullAvailPhys = 12345678;
    return FALSE;
}
void WINAPI statusOld(MEMORYSTATUS* status)
{
    status->dwAvailPhys = 2ULL << 30;
}

TEST_F(FreeMemory, MemoryFunctionsOfKernel32)
{
    struct Case {
        const char* name;
        const void* ex;  // nullptr: missing
        const void* old; // nullptr: missing
        uint64_t bytes;
        int kb;
    };
    const Case cases[] = {
        {"3 GB available", reinterpret_cast<const void*>(&statusEx), nullptr, 3ULL << 30, 3145728},
        {"3 TB available", reinterpret_cast<const void*>(&statusEx), nullptr, 3ULL << 40, INT_MAX},
        {"failing call", reinterpret_cast<const void*>(&failingStatusEx), nullptr, 0, 0},
        {"only GlobalMemoryStatus", nullptr, reinterpret_cast<const void*>(&statusOld), 0, 2097152},
        {"neither", nullptr, nullptr, 0, 0},
    };
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    for (const Case& c : cases) {
        fixtureBytes = c.bytes;
        ExportPatch ex(kernel32, "GlobalMemoryStatusEx", c.ex);
        ExportPatch old(kernel32, "GlobalMemoryStatus", c.old);
        ASSERT_TRUE(ex.applied() && old.applied());
        EXPECT_EQ(gauge.getFreeMemory(jni, nullptr, 0, nullptr), c.kb) << c.name;
    }
}

using ProcessCpu = HostGaugeTest;

int64_t ticks(const FILETIME& time)
{
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

struct Reading {
    int64_t cpu;     // kernel and user time of this process
    int64_t now;     // system time
    int64_t created; // creation time of this process
};

Reading readTimes()
{
    FILETIME creation, exit, kernel, user, now;
    GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
    GetSystemTimeAsFileTime(&now);
    return {ticks(kernel) + ticks(user), ticks(now), ticks(creation)};
}

// The percentage a call made between the readings a and b can have answered
// for an interval that started between s and t: least CPU over the longest
// span, most CPU over the shortest.
std::pair<double, double> bounds(const Reading& s, const Reading& t, const Reading& a, const Reading& b)
{
    double n = processorCount();
    double least = static_cast<double>(a.cpu - t.cpu) / static_cast<double>(b.now - s.now) * 100.0 / n;
    double most = static_cast<double>(b.cpu - s.cpu) / static_cast<double>(a.now - t.now) * 100.0 / n;
    return {least, most};
}

TEST_F(ProcessCpu, SpinningProcessAgainstItsProcessTimes)
{
    EXPECT_EQ(gauge.getProcLoadUtilization(jni, nullptr), 0) << "before initialisation";
    EXPECT_EQ(gauge.getAverageProcLoadUtilization(jni, nullptr), 0) << "before initialisation";
    spin(std::chrono::milliseconds(300)); // some CPU time before the baseline
    ASSERT_EQ(gauge.initProcLoadUtilization(jni, nullptr), 0);

    // The first sample after initialisation measures from the process's creation.
    Reading r0 = readTimes();
    int first = gauge.getProcLoadUtilization(jni, nullptr);
    Reading r1 = readTimes();
    Reading since{0, r0.created, 0};
    auto [least, most] = bounds(since, since, r0, r1);
    EXPECT_GE(first, std::floor(least) - 1);
    EXPECT_LE(first, most + 1);

    spin(std::chrono::milliseconds(700));
    Reading r2 = readTimes();
    int interval = gauge.getProcLoadUtilization(jni, nullptr);
    int average = gauge.getAverageProcLoadUtilization(jni, nullptr);
    Reading r3 = readTimes();
    ASSERT_GT(r3.cpu - r1.cpu, 1000000) << "the spinner got at least 100 ms of CPU";
    std::tie(least, most) = bounds(r0, r1, r2, r3);
    EXPECT_GE(interval, std::floor(least) - 1);
    EXPECT_LE(interval, most + 1);
    std::tie(least, most) = bounds(since, since, r2, r3);
    EXPECT_GE(average, std::floor(least) - 1);
    EXPECT_LE(average, most + 1);
}

TEST(ProcessCpuArithmetic, IntervalPercent)
{
    struct Case {
        int64_t kernel, user, elapsed;
        uint32_t processors;
        int percent;
    };
    const Case cases[] = {
        {1000000, 2000000, 2000000, 1, 150}, // 0.3 s of CPU in 0.2 s: not capped at 100
        {2500000, 2500000, 10000000, 2, 25},
        {0, 0, 10000000, 2, 0},
        {5, 5, 0, 1, 0},     // the clock did not advance
        {5, 5, -10, 1, 0},   // or went back
        {-5, 10, 100, 1, 0}, // times that went back
        {1, 1, 100, 0, 0},   // no processors
        {INT64_MAX / 4, INT64_MAX / 4, 1, 1, INT_MAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(intervalPercent(c.kernel, c.user, c.elapsed, c.processors), c.percent)
            << c.kernel << " " << c.user << " " << c.elapsed << " " << c.processors;
    }
    EXPECT_EQ(wholePercent(40.9), 40U);
    EXPECT_EQ(wholePercent(-0.5), 0U);
    EXPECT_EQ(wholePercent(NAN), 0U);
    EXPECT_EQ(wholePercent(1e12), 100U);
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
