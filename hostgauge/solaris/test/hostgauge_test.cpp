// The host gauge on a scripted system: CPU snapshots and percentages, the
// caller's state array, free memory, and the process CPU arithmetic.
#include "common/test/test_jni_env.h"
#include "compat/sunos/fixture_source.h"
#include "hostgauge/solaris/hostgauge.h"

#include "com_qor_vt_rlm_server_system_HostGauge.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <kstat.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

cpu_info_t ticks(uint32_t idle, uint32_t user, uint32_t kernel, uint32_t wait)
{
    return cpu_info_t{{idle, user, kernel, wait}};
}

std::vector<jbyte> asBytes(const cpu_info_t& info, size_t length = CPU_INFO_BYTES)
{
    std::vector<jbyte> bytes(length, 0);
    memcpy(bytes.data(), &info, sizeof info);
    return bytes;
}

class HostGaugeTest : public ::testing::Test {
  protected:
    FixtureSource fixture;
    ScopedSource scoped{fixture};
    TestJniEnv jni;

    jint getCpuUtilization(jbyteArray state)
    {
        return Java_com_qor_vt_rlm_server_system_HostGauge_getCpuUtilization(jni.env(), nullptr, 0, state);
    }
    jint getFreeMemory()
    {
        return Java_com_qor_vt_rlm_server_system_HostGauge_getFreeMemory(jni.env(), nullptr, 0, nullptr);
    }
    void systemPages(const std::vector<kstat_named_t>& values) { fixture.addNamed("unix", "system_pages", values); }
};

TEST(ComputePercentCpu, BusyIsUserAndKernelOverAllFourCounters)
{
    cpu_info_t previous = ticks(100, 200, 300, 400);
    cpu_info_t current = ticks(100 + 50, 200 + 30, 300 + 10, 400 + 10);
    EXPECT_EQ(40, computePercentCpu(&current, &previous)); // 40 busy of 100; I/O wait is not busy
    cpu_info_t allBusy = ticks(100, 200 + 7, 300 + 3, 400);
    EXPECT_EQ(100, computePercentCpu(&allBusy, &previous));
    cpu_info_t third = ticks(100 + 2, 200 + 1, 300, 400); // 33.3 truncates
    EXPECT_EQ(33, computePercentCpu(&third, &previous));
}

TEST(ComputePercentCpu, CounterWrappedPast2To32GivesItsTrueIncrease)
{
    cpu_info_t previous = ticks(0xFFFFFF00U, 0xFFFFFFF0U, 0, 0);
    cpu_info_t current = ticks(0x00000100U, 0x00000010U, 0, 0); // idle +512, user +32
    EXPECT_EQ(5, computePercentCpu(&current, &previous));       // 32 / 544 = 5.9 %
}

TEST(ComputePercentCpu, NoTickSinceThePreviousSampleIsZero)
{
    cpu_info_t same = ticks(5, 6, 7, 8);
    EXPECT_EQ(0, computePercentCpu(&same, &same));
}

TEST_F(HostGaugeTest, SnapshotSumsTheCpuStatEntriesOnly)
{
    fixture.addCpuStat(0, 10, 20, 30, 40);
    fixture.addNamed("unix", "system_misc", {FixtureSource::named("ncpus", KSTAT_DATA_UINT32, 2)});
    fixture.addCpuStat(8, 0xFFFFFFFFU, 1, 2, 3); // the idle sum wraps
    cpu_info_t snapshot = ticks(0, 0, 0, 0);
    ASSERT_EQ(0, getCpuSnapshot(&snapshot));
    EXPECT_EQ(9U, snapshot.ticks[0]);
    EXPECT_EQ(21U, snapshot.ticks[1]);
    EXPECT_EQ(32U, snapshot.ticks[2]);
    EXPECT_EQ(43U, snapshot.ticks[3]);
}

TEST_F(HostGaugeTest, SnapshotFailsWhenTheStatisticsCannotBeOpenedOrAProcessorRead)
{
    cpu_info_t snapshot = ticks(0, 0, 0, 0);
    EXPECT_EQ(0, getCpuSnapshot(&snapshot)) << "an empty chain contributes nothing";
    EXPECT_EQ(0U, snapshot.ticks[0] | snapshot.ticks[1] | snapshot.ticks[2] | snapshot.ticks[3]);

    fixture.addCpuStat(0, 1, 1, 1, 1);
    fixture.addCpuStat(1, 1, 1, 1, 1, /*readFails=*/true);
    EXPECT_EQ(1, getCpuSnapshot(&snapshot));
    fixture.chain.clear();
    fixture.kstatOpenFails = true;
    EXPECT_EQ(1, getCpuSnapshot(&snapshot));
}

TEST_F(HostGaugeTest, ProcessorStatisticOfAnotherSizeIsNotReadIntoTheSnapshot)
{
    // Larger than a cpu_stat_t: reading it whole would run past the buffer.
    // Smaller: part of the counters would be whatever the buffer held.
    fixture.addCpuStat(0, 10, 10, 10, 10);
    for (size_t size : {sizeof(cpu_stat_t) + 64, sizeof(cpu_stat_t) - 8}) {
        std::vector<unsigned char> data(size, 0x11);
        fixture.chain.push_back({"cpu_stat", 1, "cpu_stat1", KSTAT_TYPE_RAW, data, 1, false});
        std::vector<jbyte> previous = asBytes(ticks(1, 2, 3, 4));
        jbyteArray state = jni.byteArray(previous);
        EXPECT_EQ(-2, getCpuUtilization(state)) << size;
        EXPECT_EQ(previous, jni.bytes(state)) << size;
        fixture.chain.pop_back();
    }
}

TEST_F(HostGaugeTest, ZeroedArrayReportsTheShareSinceBootAndKeepsTheCounters)
{
    fixture.addCpuStat(0, 600, 300, 100, 0);
    fixture.addCpuStat(1, 700, 200, 100, 0);
    jbyteArray state = jni.byteArray(std::vector<jbyte>(16, 0));
    EXPECT_EQ(35, getCpuUtilization(state)); // 700 busy of 2000
    EXPECT_EQ(asBytes(ticks(1300, 500, 200, 0)), jni.bytes(state));

    // The next call measures from the stored sample, here across a wrap.
    fixture.chain.clear();
    fixture.addCpuStat(0, 600 + 90, 300 + 10, 100, 0);
    fixture.addCpuStat(1, 700 + 90, 200, 100 + 10, 0);
    EXPECT_EQ(10, getCpuUtilization(state));
    EXPECT_EQ(asBytes(ticks(1480, 510, 210, 0)), jni.bytes(state));
    EXPECT_EQ(0, jni.unreleased());
}

TEST_F(HostGaugeTest, InitStoresTheBaselineSoTheFirstFigureCoversTheTimeSinceInit)
{
    fixture.addCpuStat(0, 900, 100, 0, 0); // 10% busy since boot
    jbyteArray state = jni.byteArray(std::vector<jbyte>(16, 0));
    EXPECT_EQ(0, Java_com_qor_vt_rlm_server_system_HostGauge_initCpuUtilization(jni.env(), nullptr, 0, state));
    EXPECT_EQ(asBytes(ticks(900, 100, 0, 0)), jni.bytes(state));
    fixture.chain.clear();
    fixture.addCpuStat(0, 900, 100 + 50, 0, 0); // all busy since the init
    EXPECT_EQ(100, getCpuUtilization(state));
}

TEST_F(HostGaugeTest, OnlyTheFirstSixteenBytesOfALongerArrayAreTheState)
{
    fixture.addCpuStat(0, 50, 50, 0, 0);
    std::vector<jbyte> initial(24, 0);
    initial[16] = 7;
    initial[23] = 9;
    jbyteArray state = jni.byteArray(initial);
    EXPECT_EQ(50, getCpuUtilization(state));
    std::vector<jbyte> expected = asBytes(ticks(50, 50, 0, 0), 24);
    expected[16] = 7;
    expected[23] = 9;
    EXPECT_EQ(expected, jni.bytes(state));
}

TEST_F(HostGaugeTest, FailedSampleAnswersMinusTwoAndLeavesTheArray)
{
    std::vector<jbyte> previous = asBytes(ticks(1, 2, 3, 4));
    jbyteArray state = jni.byteArray(previous);
    fixture.kstatOpenFails = true;
    EXPECT_EQ(-2, getCpuUtilization(state));
    EXPECT_EQ(previous, jni.bytes(state));

    fixture.kstatOpenFails = false;
    fixture.addCpuStat(0, 10, 10, 10, 10, /*readFails=*/true);
    EXPECT_EQ(-2, getCpuUtilization(state));
    EXPECT_EQ(previous, jni.bytes(state));
    EXPECT_EQ(0, jni.unreleased());
}

TEST_F(HostGaugeTest, ArrayTooShortForASampleOrMissingIsRefusedUntouched)
{
    fixture.addCpuStat(0, 10, 10, 10, 10);
    std::vector<jbyte> shortState = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    jbyteArray state = jni.byteArray(shortState);
    EXPECT_EQ(-2, getCpuUtilization(state));
    EXPECT_EQ(shortState, jni.bytes(state));
    EXPECT_EQ(-2, getCpuUtilization(jni.byteArray({})));
    EXPECT_EQ(-2, getCpuUtilization(nullptr));
    EXPECT_EQ(0, jni.unreleased());
}

TEST_F(HostGaugeTest, FreeMemoryIsFreePagesTimesPageKilobytes)
{
    fixture.sysconfValues[_SC_PAGESIZE] = 8192;
    systemPages({FixtureSource::named("physmem", KSTAT_DATA_UINT32, 524288),
                 FixtureSource::named("freemem", KSTAT_DATA_UINT32, 1000)});
    EXPECT_EQ(8000, getFreeMemory());

    fixture.chain.clear();
    systemPages({FixtureSource::named("freemem", KSTAT_DATA_INT32, 1000)});
    EXPECT_EQ(8000, getFreeMemory());

    // 2 TiB and more does not fit an int of kilobytes: it reads as the
    // largest int, not wrapped; a 64-bit count is not cut to its low 32 bits.
    const std::pair<kstat_named_t, jint> large[] = {
        {FixtureSource::named("freemem", KSTAT_DATA_UINT32, 268435455), 2147483640}, // 2 TiB less 8 kB
        {FixtureSource::named("freemem", KSTAT_DATA_UINT32, 402653184), 2147483647}, // 3 TiB
        {FixtureSource::named("freemem", KSTAT_DATA_UINT64, 0x100000000ULL + 1000), 2147483647},
        {FixtureSource::named("freemem", KSTAT_DATA_INT64, 0x200000000ULL + 3), 2147483647},
    };
    for (const auto& [freemem, kb] : large) {
        fixture.chain.clear();
        systemPages({freemem});
        EXPECT_EQ(kb, getFreeMemory()) << freemem.value.ui64 << " pages";
    }

    // A page under a kilobyte counts as none.
    fixture.sysconfValues[_SC_PAGESIZE] = 512;
    EXPECT_EQ(0, getFreeMemory());
}

TEST_F(HostGaugeTest, FreeMemoryUsesTheFirstNamedSystemPages)
{
    fixture.sysconfValues[_SC_PAGESIZE] = 4096;
    // A raw entry of the same name is not it.
    fixture.chain.push_back(
        {"unix", 0, "system_pages", KSTAT_TYPE_RAW, std::vector<unsigned char>(64, 0xFF), 1, false});
    systemPages({FixtureSource::named("physmem", KSTAT_DATA_UINT64, 99),
                 FixtureSource::named("freemem", KSTAT_DATA_UINT64, 25)});
    systemPages({FixtureSource::named("freemem", KSTAT_DATA_UINT64, 77)});
    EXPECT_EQ(100, getFreeMemory());
}

TEST_F(HostGaugeTest, FreeMemoryFailuresAnswerMinusOne)
{
    fixture.sysconfValues[_SC_PAGESIZE] = 4096;
    EXPECT_EQ(-1, getFreeMemory()) << "empty chain";

    fixture.kstatOpenFails = true;
    EXPECT_EQ(-1, getFreeMemory()) << "statistics cannot be opened";
    fixture.kstatOpenFails = false;

    fixture.addCpuStat(0, 1, 1, 1, 1);
    EXPECT_EQ(-1, getFreeMemory()) << "no system_pages";

    systemPages({FixtureSource::named("physmem", KSTAT_DATA_UINT64, 99)});
    EXPECT_EQ(-1, getFreeMemory()) << "no freemem";

    fixture.chain.clear();
    kstat_named_t text = FixtureSource::named("freemem", KSTAT_DATA_CHAR, 0);
    systemPages({text});
    EXPECT_EQ(-1, getFreeMemory()) << "freemem of a type that is no number";

    for (uchar_t type : {KSTAT_DATA_INT32, KSTAT_DATA_INT64}) {
        fixture.chain.clear();
        systemPages({FixtureSource::named("freemem", type, static_cast<uint64_t>(-1))});
        EXPECT_EQ(-1, getFreeMemory()) << "negative freemem of type " << int{type};
    }

    fixture.chain.clear();
    fixture.addNamed("unix", "system_pages", {FixtureSource::named("freemem", KSTAT_DATA_UINT32, 5)},
                     /*readFails=*/true);
    EXPECT_EQ(-1, getFreeMemory()) << "read fails";

    fixture.chain.clear();
    fixture.chain.push_back({"unix", 0, "system_pages", KSTAT_TYPE_NAMED, {}, 0, false});
    EXPECT_EQ(-1, getFreeMemory()) << "no named values";
}

// The live source on a fixture /proc/meminfo with 3 TiB available, bound
// over the real one in a private mount namespace of a child (root only).
TEST(FreeMemory, LiveSourceBeyondAnIntOfKilobytes)
{
    char path[] = "/tmp/hostgauge-meminfo-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "MemTotal: 4294967296 kB\nMemFree: 1024 kB\nMemAvailable: 3221225472 kB\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    pid_t child = fork();
    if (child == 0) {
        bool bound = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     mount(path, "/proc/meminfo", nullptr, MS_BIND, nullptr) == 0;
        auto getFreeMemory = Java_com_qor_vt_rlm_server_system_HostGauge_getFreeMemory;
        _exit(!bound ? 77 : getFreeMemory(nullptr, nullptr, 0, nullptr) == INT32_MAX ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    unlink(path);
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "skipped: no private mount namespace for a fixture /proc/meminfo (needs root)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3 TiB available is not the largest int";
}

TEST(ProcessCpu, RusageSecondsSumsSecondsAndMicrosecondsSeparately)
{
    EXPECT_DOUBLE_EQ(4.3, rusageSeconds(1, 600000, 2, 700000));
    EXPECT_DOUBLE_EQ(0.000002, rusageSeconds(0, 1, 0, 1));
}

TEST(ProcessCpu, IntervalPercentIsSharedOverProcessorsAndClampedTo100)
{
    // 0.5 s of CPU in 1 s on 2 processors.
    EXPECT_EQ(25, intervalPercent(10.5, 10.0, 101.0, 100.0, 2));
    EXPECT_EQ(33, intervalPercent(1.0, 0.0, 3.0, 0.0, 1));
    // More CPU than the interval times the processors: 100, never more.
    EXPECT_EQ(100, intervalPercent(14.0, 10.0, 101.0, 100.0, 2));
}

TEST(ProcessCpu, IntervalWithoutCpuTimeOrWithoutTimeIsIdle)
{
    // No CPU time charged in the interval reads 0, not the process's whole total.
    EXPECT_EQ(0, intervalPercent(10.0, 10.0, 101.0, 100.0, 2));
    EXPECT_EQ(0, intervalPercent(10.5, 10.0, 100.0, 100.0, 2));
    EXPECT_EQ(0, intervalPercent(10.5, 10.0, 101.0, 100.0, 0)) << "before initialisation";
}

TEST(ProcessCpu, AveragePercentUsesTheWholeCpuTime)
{
    EXPECT_EQ(50, averagePercent(5.0, 110.0, 100.0, 1));
    EXPECT_EQ(100, averagePercent(50.0, 110.0, 100.0, 1));
    EXPECT_EQ(0, averagePercent(5.0, 100.0, 100.0, 1));
    EXPECT_EQ(0, averagePercent(5.0, 110.0, 100.0, 0));
}

double processCpuSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

void burnCpu(double seconds)
{
    double until = processCpuSeconds() + seconds;
    volatile unsigned sink = 0;
    while (processCpuSeconds() < until) {
        for (int i = 0; i < 10000; i++) {
            sink = sink + static_cast<unsigned>(i);
        }
    }
}

TEST_F(HostGaugeTest, AverageStartsNearFullAndFallsAsWallTimePasses)
{
    // One processor, so that the CPU time used before initialisation moves
    // the reference start back by all of it.
    fixture.sysconfValues[_SC_NPROCESSORS_ONLN] = 1;
    burnCpu(0.2);
    ASSERT_EQ(0, Java_com_qor_vt_rlm_server_system_HostGauge_initProcLoadUtilization(jni.env(), nullptr));
    int first = Java_com_qor_vt_rlm_server_system_HostGauge_getAverageProcLoadUtilization(jni.env(), nullptr);
    EXPECT_GE(first, 90);
    EXPECT_LE(first, 100);

    // Wall time without CPU time: the average falls and the interval reads low.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    int later = Java_com_qor_vt_rlm_server_system_HostGauge_getAverageProcLoadUtilization(jni.env(), nullptr);
    EXPECT_LT(later, first);
    EXPECT_LE(Java_com_qor_vt_rlm_server_system_HostGauge_getProcLoadUtilization(jni.env(), nullptr), 20);

    // Initialising again resets the average's baseline.
    ASSERT_EQ(0, Java_com_qor_vt_rlm_server_system_HostGauge_initProcLoadUtilization(jni.env(), nullptr));
    EXPECT_GE(Java_com_qor_vt_rlm_server_system_HostGauge_getAverageProcLoadUtilization(jni.env(), nullptr), 90);
}

TEST_F(HostGaugeTest, ServerCpuIsOfTheZonesCapWhereThatIsSmaller)
{
    struct Case {
        const char* name;
        long online;
        const char* kstatName;
        uchar_t type;
        uint64_t cap; // percent of one processor
        double processors;
    };
    const Case cases[] = {
        {"no cap", 4, nullptr, 0, 0, 4.0},
        {"half a processor", 4, "cpucaps_zone_0", KSTAT_DATA_UINT64, 50, 0.5},
        {"a cap above the processors online", 2, "cpucaps_zone_0", KSTAT_DATA_UINT64, 800, 2.0},
        {"the cap of another zone", 4, "cpucaps_zone_7", KSTAT_DATA_UINT64, 50, 4.0},
        {"a value of another type", 4, "cpucaps_zone_0", KSTAT_DATA_CHAR, 50, 4.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixture.chain.clear();
        fixture.sysconfValues[_SC_NPROCESSORS_ONLN] = c.online;
        if (c.kstatName != nullptr) {
            fixture.addNamed("caps", c.kstatName, {FixtureSource::named("value", c.type, c.cap)});
        }
        EXPECT_DOUBLE_EQ(processorShare(), c.processors);
    }
}

TEST_F(HostGaugeTest, BusyIntervalOnOneProcessorReadsNearFull)
{
    fixture.sysconfValues[_SC_NPROCESSORS_ONLN] = 1;
    ASSERT_EQ(0, Java_com_qor_vt_rlm_server_system_HostGauge_initProcLoadUtilization(jni.env(), nullptr));
    burnCpu(0.1);
    int busy = Java_com_qor_vt_rlm_server_system_HostGauge_getProcLoadUtilization(jni.env(), nullptr);
    EXPECT_GT(busy, 0);
    EXPECT_LE(busy, 100);
}

} // namespace
