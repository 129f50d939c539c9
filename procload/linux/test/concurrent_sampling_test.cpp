// Many threads sampling overlapping batches at once. The slot table and the
// batch state are shared by every caller; each answer must still be the one a
// lone caller would get, and no process may end up with two slots.
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/descendants.h"
#include "procload/linux/test/proc_fixture.h"
#include "procload/procload_log.h"
#include "procload/slot_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace procload_test;

namespace {

constexpr int32_t FIRST = FAKE_PID_BASE + 7000;
constexpr int SAMPLED = 48;

// The sampled processes live; the ones that held slots before have gone.
int32_t onlySampledLive(int32_t pid)
{
    return pid >= FIRST && pid < FIRST + SAMPLED ? pid : 0;
}

TEST(ConcurrentSampling, SixteenThreadsOnOverlappingBatchesAndANearlyFullTable)
{
    resetMeter();
    ProcFixture proc;
    for (int32_t i = 0; i < SAMPLED; i++) {
        // Far more CPU than the moment since the start of measurement: every
        // since-creation figure is 100.
        proc.taskProcess({.pid = FIRST + i, .utime = 1000000});
    }
    slotLivenessProbe = onlySampledLive;
    // The table fills up while the threads run, and is then reclaimed.
    for (int32_t i = 0; i < PROCESS_ID_MAX_SIZE - 24; i++) {
        lastProcessInfo_GetIndex(FAKE_PID_BASE + i);
    }

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; t++) {
        threads.emplace_back([t, &wrong] {
            for (int round = 0; round < 200; round++) {
                int32_t ids[8];
                double loads[8];
                for (int k = 0; k < 8; k++) {
                    ids[k] = FIRST + (t * 3 + round + k) % SAMPLED;
                }
                getProcLoadLast(8, ids, loads);
                for (double load : loads) {
                    wrong += load >= 0.0 && load <= 100.0 ? 0 : 1;
                }
                getProcLoad(8, ids, loads);
                for (double load : loads) {
                    wrong += load == 100.0 ? 0 : 1;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(lastProcessInfoSize, PROCESS_ID_MAX_SIZE);
    for (int32_t pid = FIRST; pid < FIRST + SAMPLED; pid++) {
        int slots = 0;
        for (const LastProcessSlot& slot : lastProcessInfo) {
            slots += slot.id == pid ? 1 : 0;
        }
        EXPECT_EQ(slots, 1) << pid;
    }
    resetMeter();
}

TEST(ConcurrentSampling, SiblingLinesAreOnlyThoseOfTheCallThatAskedForThem)
{
    resetMeter();
    ProcFixture proc;
    proc.taskProcess({.pid = FIRST, .ppid = 1, .pgrp = FIRST});
    proc.taskProcess({.pid = FIRST + 1, .ppid = FIRST, .pgrp = FIRST});
    int32_t found = -1;
    testing::internal::CaptureStdout();
    std::unique_lock<std::recursive_mutex> lock(procloadStateLock);
    // What getCPUUtilization(-1) does on its own thread while it lists.
    debugEnabled = -1;
    std::thread other([&found] {
        int32_t ids[4];
        found = getProcessId_Descendants(FIRST, 4, ids);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    debugEnabled = 0;
    lock.unlock();
    other.join();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(found, 1);
    EXPECT_EQ(out, "") << "another thread's listing printed sibling lines";
    resetMeter();
}

} // namespace
