// Utilisation and descendants on fixture /proc trees: the flat layout with
// dotted thread entries, the task layout's restart on a reused pid, the batch
// rule, the warning budget and the guards of the arithmetic.
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/descendants.h"
#include "procload/linux/test/proc_fixture.h"
#include "procload/procload_log.h"
#include "procload/slot_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace procload_test;

namespace {

constexpr int32_t PID = FAKE_PID_BASE + 100;

class Meter : public ::testing::Test {
  protected:
    void SetUp() override { resetMeter(); }
    void TearDown() override { resetMeter(); }

    static double last(int32_t pid)
    {
        double load = -1.0;
        getProcLoadLast(1, &pid, &load);
        return load;
    }
    static LastProcessSlot& slotOf(int32_t pid) { return lastProcessInfo[findExistingSlot(pid)]; }
    // Moves the slot's last sample one second into the past, so that the next
    // figure is the tick growth over about one second.
    static void oneSecondAgo(int32_t pid)
    {
        timeval& t = *slotOf(pid).lastTime;
        t.tv_sec -= 1;
    }
    static std::string dotted(int32_t id) { return std::string(".").append(std::to_string(id)); }
};

// The figure for the given ticks over one second on two processors, allowing
// for the moments the samples themselves take on a busy machine.
void expectTicksPerSecond(double load, double ticks)
{
    EXPECT_LE(load, ticks / 2.0 + 0.01);
    EXPECT_GE(load, ticks / 2.0 * 0.85);
}

TEST_F(Meter, FlatLayoutKeepsTheTicksOfAThreadThatEnded)
{
    ProcFixture proc;
    proc.write("stat", "cpu  1 1 1 1\n");
    proc.flatEntry(std::to_string(PID), {.pid = PID, .utime = 100});
    proc.flatEntry(dotted(PID + 1), {.pid = PID + 1, .ppid = PID, .pgrp = PID, .utime = 40});
    proc.flatEntry(dotted(PID + 2), {.pid = PID + 2, .ppid = PID, .pgrp = PID, .utime = 60});

    EXPECT_LT(last(PID), 0.1); // measured from time zero
    EXPECT_EQ(*slotOf(PID).oldTime, 200 * NANOS_PER_TICK);
    EXPECT_EQ(slotOf(PID).lastProcessIndex, 3);

    // Thread +2 ends; +1 grows by 20; a new thread +3 brings 30.
    proc.remove(dotted(PID + 2));
    proc.flatEntry(dotted(PID + 1), {.pid = PID + 1, .ppid = PID, .pgrp = PID, .utime = 60});
    proc.flatEntry(dotted(PID + 3), {.pid = PID + 3, .ppid = PID, .pgrp = PID, .utime = 30});
    oneSecondAgo(PID);
    double load = last(PID);
    EXPECT_EQ(*slotOf(PID).oldTime, 250 * NANOS_PER_TICK);
    expectTicksPerSecond(load, 50);
}

TEST_F(Meter, FlatLayoutCountsGroupMembersEntryByEntry)
{
    ProcFixture proc;
    proc.flatEntry(std::to_string(PID), {.pid = PID, .utime = 100});
    // A member of the group, listed before an unrelated process.
    proc.flatEntry(std::to_string(PID + 10), {.pid = PID + 10, .ppid = 1, .pgrp = PID, .utime = 7});
    proc.flatEntry(std::to_string(PID + 20), {.pid = PID + 20, .ppid = 1, .pgrp = PID + 20, .utime = 5000});
    last(PID);
    EXPECT_EQ(*slotOf(PID).oldTime, 107 * NANOS_PER_TICK);
}

TEST_F(Meter, SamePidTwiceInABatchCountsOnceAndDoesNotInflateTheNextSample)
{
    for (int layout : {PROC_LAYOUT_FLAT, PROC_LAYOUT_TASK}) {
        resetMeter();
        ProcFixture proc;
        auto write = [&](uint64_t utime) {
            StatLine line{.pid = PID, .utime = utime, .threads = 3};
            if (layout == PROC_LAYOUT_FLAT) {
                proc.flatEntry(std::to_string(PID), line);
            } else {
                proc.taskProcess(line);
            }
        };
        write(1000);
        int32_t ids[] = {PID, PID};
        double load[] = {-1.0, -1.0};
        getProcLoadLast(2, ids, load);
        write(1100);
        oneSecondAgo(PID);
        getProcLoadLast(2, ids, load);
        expectTicksPerSecond(load[0], 100);
        EXPECT_EQ(load[1], 0.0) << layout;
        write(1120);
        oneSecondAgo(PID);
        getProcLoadLast(1, ids, load);
        expectTicksPerSecond(load[0], 20); // not every tick again
    }
}

TEST_F(Meter, ReusedPidStartsAfreshInsteadOfReadingAWrappedFull100)
{
    ProcFixture proc;
    proc.taskProcess({.pid = PID, .utime = 5000, .startTime = 1000});
    last(PID);
    oneSecondAgo(PID);
    // The old process is gone; a new one got the same pid and has used little.
    proc.taskProcess({.pid = PID, .utime = 20, .startTime = 2000});
    EXPECT_LT(last(PID), 0.1);
    EXPECT_EQ(*slotOf(PID).oldTime, 20 * NANOS_PER_TICK);
    EXPECT_EQ(slotOf(PID).startTime, 2000U);
    proc.taskProcess({.pid = PID, .utime = 70, .startTime = 2000});
    oneSecondAgo(PID);
    expectTicksPerSecond(last(PID), 50);
}

TEST_F(Meter, SinceCreationLeavesTheSinceLastStateAlone)
{
    ProcFixture proc;
    proc.taskProcess({.pid = PID, .utime = 300});
    last(PID);
    uint64_t before = *slotOf(PID).oldTime;
    timeval lastTime = *slotOf(PID).lastTime;
    proc.taskProcess({.pid = PID, .utime = 400});
    double load = -1.0;
    int32_t pid = PID;
    getProcLoad(1, &pid, &load);
    EXPECT_GT(load, 0.0); // 400 ticks since a start of measurement at time zero
    EXPECT_EQ(*slotOf(PID).oldTime, before);
    EXPECT_EQ(slotOf(PID).lastTime->tv_sec, lastTime.tv_sec);
}

TEST_F(Meter, SinceCreationOfAProcessOlderThanTheMeasurementDividesByItsLifetime)
{
    // The machine has been up 1000 s; start times are in ticks after boot.
    struct {
        uint64_t startTime;
        uint64_t ticks;
        int measuredFor; // seconds since the start of measurement
        double load;
    } cases[] = {
        {90000, 50, 0, 0.25},  // 100 s old, 0.5 s of CPU: not 0.5 s over the moment since the start
        {99500, 100, 10, 5.0}, // 5 s old, younger than the measurement's 10 s
    };
    ProcFixture proc;
    proc.write("uptime", "1000.00 1900.00\n");
    int32_t pid = PID;
    for (const auto& c : cases) {
        resetMeter();
        ownProcessSlot.createTime->tv_sec -= c.measuredFor;
        proc.taskProcess({.pid = pid, .utime = c.ticks, .startTime = c.startTime});
        double load = -1.0;
        getProcLoad(1, &pid, &load);
        EXPECT_NEAR(load, c.load, 0.01) << c.startTime;
    }
}

TEST_F(Meter, DebugLinesShowTicksAndTheIntervalBeforeTheScan)
{
    ProcFixture proc;
    proc.taskProcess({.pid = PID, .utime = 300});
    last(PID);
    // Enough threads that the scan itself prints (the excessive-thread warnings).
    proc.taskProcess({.pid = PID, .utime = 350, .threads = 1003});
    debugEnabled = 1;
    testing::internal::CaptureStdout();
    last(PID);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    debugEnabled = 0;
    for (const char* enter : {"ENTER myProc->pid / oldClockTime.tv_sec / oldClockTime.tv_usec= ",
                              "ENTER processID   /   createTime.tv_sec /   createTime.tv_usec= ",
                              "ENTER myProc->pid /     lastTime.tv_sec /     lastTime.tv_usec= "}) {
        size_t at = out.find(enter);
        ASSERT_NE(at, std::string::npos) << out;
        std::string line = out.substr(at, out.find('\n', at) - at);
        EXPECT_EQ(line.substr(line.rfind(' ')), " 300") << line;
    }
    EXPECT_NE(out.find(" myProc time is 350 and old cpu is 300 \n"), std::string::npos) << out;
    size_t timediff = out.find(" timediff ");
    EXPECT_LT(out.rfind("ENTER"), timediff) << out;
    EXPECT_LT(timediff, out.find("Excessive thread creation")) << out;
}

TEST_F(Meter, NoTimeOrNoProcessorsAnswersZeroNotInfinity)
{
    ProcFixture proc;
    proc.taskProcess({.pid = PID, .utime = 300});
    last(PID);
    proc.taskProcess({.pid = PID, .utime = 900});
    LastProcessSlot& slot = slotOf(PID);
    timeval future{};
    gettimeofday(&future, nullptr);
    future.tv_sec += 10;
    EXPECT_EQ(getCPU(&slot, future), 0.0);
    proc.taskProcess({.pid = PID, .utime = 1500});
    oneSecondAgo(PID);
    nProcessors = 0;
    processorAllowance = 0.0;
    EXPECT_EQ(last(PID), 0.0);
}

TEST_F(Meter, GoneProcessAnswersZero)
{
    ProcFixture proc;
    EXPECT_EQ(last(PID), 0.0);
    int32_t pid = PID;
    double load = -1.0;
    getProcLoad(1, &pid, &load);
    EXPECT_EQ(load, 0.0);
}

TEST_F(Meter, IdsThatNameNoProcessTakeNoSlotAndHaveNoDescendants)
{
    ProcFixture proc;
    int32_t ids[] = {0, -1, -77, 0};
    double loads[4] = {-1.0, -1.0, -1.0, -1.0};
    getProcLoadLast(4, ids, loads);
    getProcLoad(4, ids, loads);
    for (double load : loads) {
        EXPECT_EQ(load, 0.0);
    }
    for (int32_t id : ids) {
        EXPECT_LT(findExistingSlot(id), 0) << id;
    }
    int32_t found[DESCENDANTS_MAX_SIZE];
    EXPECT_EQ(getProcessId_Descendants(0, DESCENDANTS_MAX_SIZE, found), 0);
    EXPECT_EQ(getProcessId_Descendants(-1, DESCENDANTS_MAX_SIZE, found), 0);
}

int excessWarnings(const std::string& out)
{
    int n = 0;
    for (size_t at = out.find("Excessive thread creation"); at != std::string::npos;
         at = out.find("Excessive thread creation", at + 1)) {
        n++;
    }
    return n;
}

TEST_F(Meter, ExcessiveThreadWarningsStopAtTenForTheLifeOfTheLibrary)
{
    ProcFixture proc;
    proc.flatEntry(std::to_string(PID), {.pid = PID});
    for (int32_t i = 1; i <= 1099; i++) {
        proc.flatEntry(dotted(PID + i), {.pid = PID + i, .ppid = PID, .pgrp = PID, .utime = 1});
    }
    testing::internal::CaptureStdout();
    double load = 0.0;
    int32_t pid = PID;
    getProcLoad(1, &pid, &load); // 1100 entries: (1) from the 1001st on
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(excessWarnings(out), 10) << out;
    EXPECT_NE(
        out.find("WARNING: ProcLoad getCPU(timeval) (1) - Excessive thread creation. id=" + std::to_string(PID) + "\n"),
        std::string::npos);
    EXPECT_EQ(*slotOf(PID).oldTime, 0U); // since creation keeps no total
    // Every tick since the process started, over the moment since the start
    // of measurement: clamped.
    EXPECT_EQ(load, 100.0);

    // Another process with as many threads, in the task layout: no more warnings.
    proc.taskProcess({.pid = PID + 5000, .utime = 10, .threads = 2000});
    testing::internal::CaptureStdout();
    last(PID + 5000);
    last(PID);
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(excessWarnings(out), 0) << out;
    EXPECT_EQ(excessThreadCounter, 10);
}

TEST_F(Meter, TaskLayoutWarnsFromTheThreadCountInOneBatch)
{
    ProcFixture proc;
    proc.taskProcess({.pid = PID, .utime = 10, .threads = 1003});
    testing::internal::CaptureStdout();
    last(PID); // entries 1001..1003 each warn twice: for the process and for the batch
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(excessWarnings(out), 6) << out;
    EXPECT_NE(out.find("(2) - Excessive thread creation"), std::string::npos);

    // Two processes of 600 threads in one batch: the batch passes 1000 within
    // the second one, which warns for the batch only, until the budget is spent.
    excessThreadCounter = 0;
    proc.taskProcess({.pid = PID + 1, .utime = 10, .threads = 600});
    proc.taskProcess({.pid = PID + 2, .utime = 10, .threads = 600});
    int32_t ids[] = {PID + 1, PID + 2};
    double load[2];
    testing::internal::CaptureStdout();
    getProcLoadLast(2, ids, load);
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(excessWarnings(out), 10) << out;
    EXPECT_EQ(out.find("(1)"), std::string::npos) << out;
    EXPECT_NE(out.find("(2) - Excessive thread creation. id=" + std::to_string(PID + 2) + "\n"), std::string::npos);
}

TEST_F(Meter, DescendantsAreChildrenAndGroupMembersButNotTheProcessItself)
{
    for (int layout : {PROC_LAYOUT_FLAT, PROC_LAYOUT_TASK}) {
        ProcFixture proc;
        auto add = [&](const StatLine& line) {
            if (layout == PROC_LAYOUT_FLAT) {
                proc.flatEntry(std::to_string(line.pid), line);
            } else {
                proc.taskProcess(line);
            }
        };
        add({.pid = PID, .ppid = 1, .pgrp = PID});
        add({.pid = PID + 1, .ppid = PID, .pgrp = PID + 1});     // child in a group of its own
        add({.pid = PID + 2, .ppid = PID + 1, .pgrp = PID});     // grandchild in the group
        add({.pid = PID + 3, .ppid = PID + 1, .pgrp = PID + 1}); // grandchild elsewhere
        add({.pid = PID + 4, .ppid = 0, .pgrp = PID});           // no parent: skipped
        add({.pid = PID + 5, .ppid = 1, .pgrp = PID + 5});       // unrelated
        int32_t ids[DESCENDANTS_MAX_SIZE];
        int32_t n = getProcessId_Descendants(PID, DESCENDANTS_MAX_SIZE, ids);
        std::vector<int32_t> found(ids, ids + n);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, (std::vector<int32_t>{PID + 1, PID + 2})) << layout;

        debugEnabled = 1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(getProcessId_Descendants(PID, 1, ids), 1);
        EXPECT_EQ(getProcessId_Descendants(PID, 2, ids), 2);
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        debugEnabled = 0;
        EXPECT_EQ(out.find("ERROR: Too many children"), out.rfind("ERROR: Too many children")) << out;
        EXPECT_NE(out.find("ProcLoad getProcessId_Descendants() ERROR: Too many children\n"), std::string::npos);
    }
}

TEST_F(Meter, SiblingModeListsEachDescendant)
{
    ProcFixture proc;
    proc.taskProcess({.pid = PID, .ppid = 1, .pgrp = PID});
    proc.taskProcess({.pid = PID + 1, .ppid = PID, .pgrp = PID});
    debugEnabled = -1;
    testing::internal::CaptureStdout();
    int32_t ids[4];
    getProcessId_Descendants(PID, 4, ids);
    std::string out = testing::internal::GetCapturedStdout();
    debugEnabled = 0;
    EXPECT_EQ(out, "processID:" + std::to_string(PID) + " pid:" + std::to_string(PID + 1) +
                       "  ppid:" + std::to_string(PID) + " pgrp:" + std::to_string(PID) + " Sibling Process\n");
}

} // namespace
