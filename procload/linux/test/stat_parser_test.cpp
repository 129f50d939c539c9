// The stat scanner, the /proc/stat line and the entry-name rule, on text and
// on fixture files.
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/proc_stat.h"
#include "procload/linux/test/proc_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace procload_test;

namespace {

ProcStatRecord parsed(const std::string& text, bool* ok = nullptr, ProcStatExtras* extras = nullptr)
{
    ProcStatRecord record{};
    record.pid = 42;
    bool result = parseStatText(text.c_str(), &record, extras);
    if (ok != nullptr) {
        *ok = result;
    }
    return record;
}

TEST(StatParser, CommandNamesWithParenthesesAndBlanksDoNotShiftTheFields)
{
    for (const char* comm : {"plain", "a) b", "x (y) z", ")) ((", "sp ace", "(", ")", "S 1 2 3"}) {
        StatLine line{.pid = 42,
                      .comm = comm,
                      .state = 'R',
                      .ppid = 17,
                      .pgrp = 23,
                      .utime = 1234,
                      .stime = 56,
                      .threads = 1100,
                      .startTime = 987654321};
        bool ok = false;
        ProcStatExtras extras{};
        ProcStatRecord record = parsed(statText(line), &ok, &extras);
        EXPECT_TRUE(ok) << comm;
        EXPECT_EQ(record.ppid, 17) << comm;
        EXPECT_EQ(record.pgrp, 23) << comm;
        EXPECT_EQ(record.ticks, 1290U) << comm;
        EXPECT_EQ(record.state, 'R') << comm;
        EXPECT_EQ(extras.numThreads, 1100) << comm;
        EXPECT_EQ(extras.startTime, 987654321U) << comm;
    }
}

TEST(StatParser, OnlyTheKnownStateLettersAreKept)
{
    for (char state : {'D', 'R', 'S', 'T', 'W', 'Z'}) {
        EXPECT_EQ(parsed(statText({.pid = 42, .state = state})).state, state);
    }
    for (char state : {'X', 't', 'I', 'P', 'x', 'K'}) {
        bool ok = false;
        ProcStatRecord record = parsed(statText({.pid = 42, .state = state, .utime = 3}), &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(record.state, 0) << state;
        EXPECT_EQ(record.ticks, 3U) << state;
    }
}

TEST(StatParser, TextWithoutNameOrCutBeforeStimeIsRefused)
{
    bool ok = true;
    parsed("42 noparens S 1 2 3 4 5 6 7 8 9 10 11 12", &ok);
    EXPECT_FALSE(ok);
    parsed("42 (open S 1 2 3 4 5 6 7 8 9 10 11 12", &ok);
    EXPECT_FALSE(ok);
    parsed("42 (x) S 1 2 0 0 0 0 0 0 0 0 5", &ok);
    EXPECT_FALSE(ok);
    parsed("42 (x)", &ok);
    EXPECT_FALSE(ok);
}

TEST(StatParser, CpuLineWithSevenColumnsLeavesStealAndGuestAtZero)
{
    CpuStats stats{};
    parseCpuStatsLine("cpu  10 20 30 40 50 60 70\n", &stats);
    EXPECT_EQ(stats.user, 10U);
    EXPECT_EQ(stats.irq, 60U);
    EXPECT_EQ(stats.softirq, 70U);
    EXPECT_EQ(stats.steal, 0U);
    EXPECT_EQ(stats.guest, 0U);
    EXPECT_EQ(stats.total, 280U);
    EXPECT_EQ(stats.busy, 10U + 20 + 30 + 60 + 70);
    EXPECT_EQ(stats.idleTotal, 90U);

    // Ten columns: steal is the eighth, guest the ninth and stays out of the total.
    parseCpuStatsLine("cpu  1 2 3 4 5 6 7 8 9 10\n", &stats);
    EXPECT_EQ(stats.steal, 8U);
    EXPECT_EQ(stats.guest, 9U);
    EXPECT_EQ(stats.total, 36U);
    EXPECT_EQ(stats.stealTotal, 8U);
}

TEST(StatParser, ReadCpuStatsTakesTheMachineLineOnly)
{
    ProcFixture proc;
    CpuStats stats{};
    EXPECT_EQ(readCpuStats(&stats), -1); // no stat file at all
    proc.write("stat", "cpu0 1 1 1 1 1 1 1\ncpu  100 0 50 800 50 0 0\nintr 5\n");
    EXPECT_EQ(readCpuStats(&stats), 0);
    EXPECT_EQ(stats.user, 100U);
    EXPECT_EQ(stats.total, 1000U);
    EXPECT_EQ(stats.idleTotal, 850U);
    proc.write("stat", "cpu0 1 1 1 1 1 1 1\nintr 5\n");
    EXPECT_EQ(readCpuStats(&stats), -1);
    EXPECT_EQ(stats.total, 0U);
}

CpuStats cpuLine(const char* line)
{
    CpuStats stats{};
    parseCpuStatsLine(line, &stats);
    return stats;
}

TEST(StatParser, IdleShareCountsCountersThatWentBackAsNoTimeAndAnswersMinusOneWithoutAFigure)
{
    struct {
        const char* last;
        const char* current;
        int64_t share; // thousandths of a percent
    } cases[] = {
        {"cpu  100 0 100 1000 100 0 0 0 0", "cpu  200 0 200 1250 100 0 0 0 0", 55555},
        // I/O wait goes back (proc(5) says it may): it counts no time, not 2^64 - 5 ticks.
        {"cpu  100 0 100 1000 100 0 0 0 0", "cpu  125 0 125 1050 95 0 0 0 0", 50000},
        {"cpu  100 0 100 1000 100 0 0 0 0", "cpu  200 0 100 1000 90 0 0 0 0", 0},
        {"cpu  100 0 100 1000 100 0 0 0 0", "cpu  100 0 100 1000 100 0 0 0 0", -1}, // no tick passed
        {"cpu  100 0 100 1000 100 0 0 0 0", "", -1},                                // no counters read
    };
    for (const auto& c : cases) {
        EXPECT_EQ(idleShare(cpuLine(c.current), cpuLine(c.last)), c.share) << c.last << " -> " << c.current;
    }
}

TEST(StatParser, EntryNamesAreDigitsOrADotAndDigits)
{
    int32_t id = 0;
    EXPECT_TRUE(procEntryId("1234", &id));
    EXPECT_EQ(id, 1234);
    EXPECT_TRUE(procEntryId(".1234", &id));
    EXPECT_EQ(id, 1234);
    for (const char* name : {".", "..", "self", ".x", "", "x1", "..1", "99999999999"}) {
        EXPECT_FALSE(procEntryId(name, &id)) << name;
    }
}

TEST(StatParser, ReadersFollowTheLayoutAndMarkUnreadableEntries)
{
    ProcFixture proc;
    proc.taskProcess({.pid = 7001, .ppid = 1, .pgrp = 7001, .utime = 5});
    proc.write("7001/task/7002/stat", statText({.pid = 7002, .ppid = 1, .pgrp = 7001, .utime = 9}));
    proc.flatEntry(".7003", {.pid = 7003, .ppid = 7001, .pgrp = 7001, .utime = 11});

    ProcStatRecord record{};
    record.pid = 7002;
    RTP_readSingleProcFromStatFile(7001, "7002", &record, PROC_LAYOUT_TASK);
    EXPECT_EQ(record.ticks, 9U);
    record = {};
    record.pid = 7003;
    RTP_readSingleProcFromStatFile(7001, ".7003", &record, PROC_LAYOUT_FLAT);
    EXPECT_EQ(record.ticks, 11U);
    record = {};
    record.pid = 7004;
    RTP_readSingleProcFromStatFile(7001, "7004", &record, PROC_LAYOUT_TASK);
    EXPECT_EQ(record.pid, 0);

    EXPECT_EQ(isRedHat40(7001), PROC_LAYOUT_TASK);
    EXPECT_EQ(isRedHat40(7003), PROC_LAYOUT_FLAT);
    EXPECT_EQ(getProcessGroupId(7001, PROC_LAYOUT_TASK), 7001);
    EXPECT_EQ(confirmProcessActive(7001), 7001);
    EXPECT_EQ(confirmProcessActive(7009), 0);
}

TEST(StatParser, NoProcAtAll)
{
    ProcFixture proc;
    procRoot = "/nonexistent-proc-root";
    EXPECT_EQ(isRedHat40(1), -1);
    CpuStats stats{};
    EXPECT_EQ(readCpuStats(&stats), -1);
}

} // namespace
