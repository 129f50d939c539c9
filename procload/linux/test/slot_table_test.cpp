// The slot table's order of preference and its reclaiming, with a fake
// liveness probe standing in for 1024 real processes.
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/test/proc_fixture.h"
#include "procload/procload_log.h"
#include "procload/slot_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

using namespace procload_test;

namespace {

std::set<int32_t> deadPids;
int probes = 0;

int32_t fakeLiveness(int32_t pid)
{
    probes++;
    return deadPids.count(pid) != 0 ? 0 : pid;
}

class SlotTable : public ::testing::Test {
  protected:
    void SetUp() override
    {
        resetMeter();
        deadPids.clear();
        probes = 0;
        slotLivenessProbe = fakeLiveness;
    }
    void TearDown() override { resetMeter(); }

    // Hands out every slot, slot i to pid FAKE_PID_BASE + i.
    static void fillTable()
    {
        for (int32_t i = 0; i < PROCESS_ID_MAX_SIZE; i++) {
            ASSERT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + i), i);
        }
    }
};

TEST_F(SlotTable, NewPidTakesTheNextSlotAndKeepsItWithoutReset)
{
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 1), 0);
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 2), 1);
    EXPECT_EQ(lastProcessInfoSize, 2);
    *lastProcessInfo[1].oldTime = 777;
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 2), 1);
    EXPECT_EQ(*lastProcessInfo[1].oldTime, 777U);
    EXPECT_EQ(lastProcessInfoSize, 2);
    EXPECT_EQ(lastProcessInfo[1].myProc->pid, FAKE_PID_BASE + 2);
}

TEST_F(SlotTable, FreeSlotAtTheLowestIndexComesBeforeANewOne)
{
    for (int i = 0; i < 5; i++) {
        lastProcessInfo_GetIndex(FAKE_PID_BASE + i);
    }
    lastProcessInfo[3].id = 0;
    lastProcessInfo[1].id = 0;
    *lastProcessInfo[1].oldTime = 99;
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 10), 1);
    EXPECT_EQ(*lastProcessInfo[1].oldTime, 0U);
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 11), 3);
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 12), 5);
    EXPECT_EQ(probes, 0); // nothing is reclaimed before the table has been full
}

TEST_F(SlotTable, DeadOwnersAreReclaimedInOnePassOnceTheTableIsFull)
{
    fillTable();
    EXPECT_EQ(probes, 0);
    deadPids = {FAKE_PID_BASE + 5, FAKE_PID_BASE + 9, FAKE_PID_BASE + 700};
    lastProcessInfo[5].lastProcessIndex = 3; // the old owner's snapshot

    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 2000), 5);
    EXPECT_EQ(probes, PROCESS_ID_MAX_SIZE);
    EXPECT_EQ(lastProcessInfo[9].id, 0);
    EXPECT_EQ(lastProcessInfo[700].id, 0);
    EXPECT_EQ(lastProcessInfo[5].id, FAKE_PID_BASE + 2000);
    EXPECT_EQ(lastProcessInfo[5].lastProcessIndex, 0);
    EXPECT_EQ(*lastProcessInfo[5].oldTime, 0U);

    // The freed slots go in index order, without another probe.
    probes = 0;
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 2001), 9);
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 2002), 700);
    EXPECT_EQ(probes, 0);
    EXPECT_EQ(lastProcessInfoSize, PROCESS_ID_MAX_SIZE);
}

TEST_F(SlotTable, FullTableOfLiveProcessesNamesSlotZeroButRefusesTheSample)
{
    fillTable();
    *lastProcessInfo[0].oldTime = 1234;
    debugEnabled = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(lastProcessInfo_GetIndex(FAKE_PID_BASE + 5000), 0);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    debugEnabled = 0;
    EXPECT_NE(out.find("ProcLoad lastProcessInfo_GetIndex ERROR - PROCESS_ID_MAX_SIZE too small\n"), std::string::npos)
        << out;
    EXPECT_EQ(lastProcessInfo[0].id, FAKE_PID_BASE); // slot 0 keeps its owner

    // The process that got no slot of its own gets 0.0, and slot 0's history
    // is not disturbed by it.
    int32_t ids[] = {FAKE_PID_BASE + 5000};
    double out1[] = {-1.0};
    getProcLoadLast(1, ids, out1);
    EXPECT_EQ(out1[0], 0.0);
    EXPECT_EQ(*lastProcessInfo[0].oldTime, 1234U);
}

void* failingAllocator(size_t /*size*/)
{
    return nullptr;
}

TEST_F(SlotTable, SlotWithoutItsPartsRefusesTheSampleUntilTheyCanBeHad)
{
    ProcFixture proc;
    proc.taskProcess({.pid = FAKE_PID_BASE + 1, .utime = 500});
    slotPartAllocator = failingAllocator;
    testing::internal::CaptureStdout();
    int32_t ids[] = {FAKE_PID_BASE + 1};
    double load[] = {-1.0};
    getProcLoadLast(1, ids, load);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ProcLoad lastProcessInfo_GetIndex out of memory n\n"), std::string::npos) << out;
    EXPECT_EQ(load[0], 0.0);
    EXPECT_EQ(lastProcessInfo[0].id, FAKE_PID_BASE + 1);
    EXPECT_EQ(lastProcessInfo[0].oldTime, nullptr);

    slotPartAllocator = malloc;
    getProcLoadLast(1, ids, load);
    ASSERT_NE(lastProcessInfo[0].oldTime, nullptr);
    EXPECT_EQ(*lastProcessInfo[0].oldTime, 500 * NANOS_PER_TICK);
}

TEST_F(SlotTable, DumpPrintsTheSlotAlways)
{
    lastProcessInfo_GetIndex(FAKE_PID_BASE + 3);
    testing::internal::CaptureStdout();
    debug_DumpPrivate("one", "two", &lastProcessInfo[0]);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(
        out.rfind("debug ProcLoad one two lastInfo->id              =  " + std::to_string(FAKE_PID_BASE + 3) + "\n", 0),
        0U)
        << out;
    EXPECT_NE(out.find("debug ProcLoad one two lastInfo->fullLastUsage   =  0.000000\n"), std::string::npos);
}

} // namespace
