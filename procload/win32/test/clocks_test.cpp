// CPU clocks of a spinning thread and of a spinning process against their
// own times, and the ids that name no running thread or process.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "procload/win32/test/meter_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace procload_test;

namespace {

jlong threadClock(TestJniEnv& jni, jlong threadId)
{
    return Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetThreadCPUClock(
        jni, nullptr, static_cast<jint>(GetCurrentProcessId()), threadId);
}

jlong processClock(TestJniEnv& jni, jint processId)
{
    return Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadClock(jni, nullptr, processId);
}

TEST(Clocks, SpinningThread)
{
    TestJniEnv jni;
    std::atomic<jlong> id{0};
    std::atomic<DWORD> ownId{0};
    std::atomic<bool> stop{false};
    std::thread spinner([&] {
        ownId = GetCurrentThreadId();
        id = Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetThreadId(jni, nullptr);
        volatile unsigned long long n = 0;
        while (!stop.load()) {
            n = n + 1;
        }
    });
    while (id.load() == 0) {
        Sleep(10);
    }
    Sleep(500);
    EXPECT_EQ(id.load(), static_cast<jlong>(ownId.load()));
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, ownId);
    Times before = timesOf(GetThreadTimes, thread);
    jlong clock = threadClock(jni, id);
    Times after = timesOf(GetThreadTimes, thread);
    stop = true;
    spinner.join();
    CloseHandle(thread);
    EXPECT_GT(before.cpu, 0U);
    EXPECT_GE(clock, static_cast<jlong>(before.cpu) * 100);
    EXPECT_LE(clock, static_cast<jlong>(after.cpu) * 100);
}

TEST(Clocks, SpinningProcess)
{
    resetMeter();
    TestJniEnv jni;
    Target target("ready busy 2000 serve");
    ASSERT_TRUE(target.ready());
    Sleep(500);
    Times before = target.times();
    jlong clock = processClock(jni, target.id());
    Times after = target.times();
    EXPECT_GT(before.cpu, 0U);
    EXPECT_GE(clock, static_cast<jlong>(before.cpu) * 100);
    EXPECT_LE(clock, static_cast<jlong>(after.cpu) * 100);
    EXPECT_GT(after.cpu, 2000000U) << "the target spun";
    EXPECT_TRUE(target.finish());
}

TEST(Clocks, IdsThatNameNoRunningThreadOrProcess)
{
    TestJniEnv jni;
    // A thread that has ended while this program still holds it open.
    HANDLE ended = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(ended, 10000), WAIT_OBJECT_0);
    Target endedProcess("");
    ASSERT_EQ(WaitForSingleObject(endedProcess.process(), 10000), WAIT_OBJECT_0);
    const jlong self = GetCurrentThreadId();
    ASSERT_GT(threadClock(jni, self), 0) << "this thread's own clock";

    struct Case {
        const char* name;
        jlong thread;
    };
    const Case threads[] = {
        {"0", 0},
        {"-1", -1},
        // Only the low 32 bits would name this thread.
        {"this thread's id plus 2^32", self + (1LL << 32)},
        {"an ended thread", static_cast<jlong>(GetThreadId(ended))},
    };
    for (const Case& c : threads) {
        EXPECT_EQ(threadClock(jni, c.thread), 0) << c.name;
    }
    const jint processes[] = {0, -1, 0x7FFFFFFF, endedProcess.id()};
    for (jint pid : processes) {
        EXPECT_EQ(processClock(jni, pid), 0) << pid;
    }
    CloseHandle(ended);
}

} // namespace
