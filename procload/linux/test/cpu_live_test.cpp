// The meter on the real /proc and clocks, measuring this test process.
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/test/proc_fixture.h"
#include "procload/slot_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace procload_test;

namespace {

// CPU time of the calling thread (RUSAGE_THREAD) or of this process
// (RUSAGE_SELF) as the kernel accounts it, in nanoseconds.
uint64_t cpuNanos(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    auto micros = [](const timeval& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000U + static_cast<uint64_t>(t.tv_usec);
    };
    return (micros(usage.ru_utime) + micros(usage.ru_stime)) * 1000U;
}

// Burns CPU on the calling thread until it has used the given time.
void spinFor(uint64_t nanos)
{
    uint64_t start = cpuNanos(RUSAGE_THREAD);
    volatile uint64_t sink = 0;
    while (cpuNanos(RUSAGE_THREAD) - start < nanos) {
        sink = sink + 1;
    }
}

class Live : public ::testing::Test {
  protected:
    void SetUp() override { resetMeter(); }
    void TearDown() override { resetMeter(); }
};

TEST_F(Live, ThreadThatStartsAndEndsBetweenSamplesIsCounted)
{
    int32_t self = getpid();
    double load = 0.0;
    getProcLoadLast(1, &self, &load);
    LastProcessSlot& slot = lastProcessInfo[findExistingSlot(self)];
    uint64_t before = *slot.oldTime;

    // Three short-lived threads, none of them alive at either sample.
    for (int i = 0; i < 3; i++) {
        std::thread worker(spinFor, 100000000);
        worker.join();
    }
    getProcLoadLast(1, &self, &load);
    EXPECT_GE(*slot.oldTime - before, 300000000U);
    EXPECT_GT(load, 0.0);
}

TEST_F(Live, ProcessFigureFollowsTheKernelProcessClock)
{
    int32_t self = getpid();
    double load = 0.0;
    getProcLoadLast(1, &self, &load);
    uint64_t clock0 = cpuNanos(RUSAGE_SELF);
    auto wall0 = std::chrono::steady_clock::now();
    std::thread worker(spinFor, 200000000);
    worker.join();
    getProcLoadLast(1, &self, &load);
    uint64_t clock1 = cpuNanos(RUSAGE_SELF);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    double reference = static_cast<double>(clock1 - clock0) / 1e9 / wall / nProcessors * 100.0;
    // The figure and the reference cover nearly the same interval.
    EXPECT_NEAR(load, reference, 2.0 + reference * 0.05);
}

TEST_F(Live, TaskLayoutSampleLeavesTheSnapshotUntouched)
{
    FILE* thp = fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
    if (thp != nullptr) {
        char mode[128] = {};
        size_t n = fread(mode, 1, sizeof(mode) - 1, thp);
        fclose(thp);
        if (n > 0 && strstr(mode, "[always]") != nullptr) {
            GTEST_SKIP() << "huge pages make untouched neighbours resident";
        }
    }
    int32_t self = getpid();
    double load = 0.0;
    getProcLoadLast(1, &self, &load);
    LastProcessSlot& slot = lastProcessInfo[findExistingSlot(self)];
    // The whole pages inside the slot's snapshot storage, given back to the
    // kernel first (other tests may have used this slot in the flat layout).
    long page = sysconf(_SC_PAGESIZE);
    auto begin = reinterpret_cast<uintptr_t>(slot.lastProcesses);
    uintptr_t end = begin + sizeof(ProcStatRecord) * THREAD_SNAPSHOT_SIZE;
    uintptr_t first = (begin + page - 1) / page * page;
    uintptr_t pages = (end - first) / page;
    ASSERT_GT(pages, 0U);
    ASSERT_EQ(madvise(reinterpret_cast<void*>(first), pages * page, MADV_DONTNEED), 0);
    for (int i = 0; i < 5; i++) {
        getProcLoadLast(1, &self, &load);
        getProcLoad(1, &self, &load);
    }
    std::vector<unsigned char> resident(pages);
    ASSERT_EQ(mincore(reinterpret_cast<void*>(first), pages * page, resident.data()), 0);
    for (unsigned char r : resident) {
        EXPECT_EQ(r & 1, 0);
    }
}

TEST_F(Live, ClocksOfThreadAndProcess)
{
    std::atomic<bool> stop{false};
    std::atomic<int64_t> handle{0};
    std::thread worker([&] {
        handle = getThreadId();
        volatile uint64_t sink = 0;
        while (!stop) {
            sink = sink + 1;
        }
    });
    while (handle == 0) {
        std::this_thread::yield();
    }
    double thread0 = RTP_getThreadCPU_Ticks(getpid(), handle);
    double process0 = RTP_getProcLoad_Ticks(getpid());
    spinFor(50000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double thread1 = RTP_getThreadCPU_Ticks(getpid(), handle);
    double process1 = RTP_getProcLoad_Ticks(getpid());
    stop = true;
    worker.join();
    // The spinning thread is not the main thread, yet the process figure grows
    // by at least what it used.
    EXPECT_GT(thread1 - thread0, 0.01);
    EXPECT_GE(process1 - process0, thread1 - thread0);
    EXPECT_EQ(RTP_getThreadCPU_Ticks(getpid(), 0), 0.0);
    EXPECT_EQ(RTP_getProcLoad_Ticks(0), 0.0);

    // On the live system the process figure comes from the process CPU clock,
    // finer than the ticks of the stat file (a tick is 10 ms).
    uint64_t nanos = 0;
    ASSERT_TRUE(readProcessCpuNanos(getpid(), &nanos));
    EXPECT_NE(nanos % NANOS_PER_TICK, 0U) << nanos;
}

TEST_F(Live, LivenessLayoutAndIds)
{
    EXPECT_EQ(confirmProcessActive(getpid()), getpid());
    EXPECT_EQ(isRedHat40(getpid()), PROC_LAYOUT_TASK);
    EXPECT_EQ(getProcessId(), getpid());
    EXPECT_EQ(getThreadId(), static_cast<int64_t>(pthread_self()));
    EXPECT_GE(getNumProcessors(), 1);
    EXPECT_EQ(getProcessGroupId(getpid(), PROC_LAYOUT_TASK), getpgrp());
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(confirmProcessActive(child), 0);
    CpuStats stats{};
    EXPECT_EQ(readCpuStats(&stats), 0);
    EXPECT_GT(stats.total, stats.idleTotal);
}

} // namespace
