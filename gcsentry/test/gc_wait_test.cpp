// gcFinish and waitForGCCompletion against the test JVMTI environment: the
// extension event path, the heap extension functions, waits that wake up
// without a collection, interrupts, and raw-monitor errors.
#include "gcsentry/test/fake_jni.h"
#include "gcsentry/test/fake_jvmti.h"
#include "gcsentry/test/loaded_agent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls until cond holds, for at most ten seconds.
bool eventually(const std::function<bool()>& cond)
{
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A thread that calls waitForGCCompletion once.
class Waiter {
  public:
    Waiter(LoadedAgent& agent, FakeJni& jni)
        : thread_([this, &agent, &jni] {
              value_ = agent.waitForGCCompletion(jni.env(), nullptr);
              returned_ = true;
          })
    {
    }
    ~Waiter()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    bool returned() const { return returned_; }
    jlong join()
    {
        thread_.join();
        return value_;
    }

  private:
    std::atomic<bool> returned_{false};
    jlong value_ = 0;
    std::thread thread_;
};

constexpr jlong GiB = 1024LL * 1024 * 1024;

class GcWait : public ::testing::Test {
  protected:
    FakeJvmti jvmti;
    FakeJni jni{jvmti};
    LoadedAgent agent;

    void start()
    {
        ASSERT_EQ(agent.Agent_OnLoad(jvmti.vm(), nullptr, nullptr), 0);
        ASSERT_EQ(agent.init(jni.env(), nullptr), 0);
    }

    // Lets the waiters reach their wait, and checks a little later that none has returned.
    void expectWaiting(int waiters, const std::vector<Waiter*>& all)
    {
        ASSERT_TRUE(eventually([&] { return jvmti.waiting() == waiters; }));
        std::this_thread::sleep_for(50ms);
        for (Waiter* w : all) {
            EXPECT_FALSE(w->returned());
        }
    }
};

TEST_F(GcWait, StandardEventReleasesTheWaiterWithMinusOneWithoutHeapFunctions)
{
    start();
    Waiter waiter(agent, jni);
    expectWaiting(1, {&waiter});
    jvmti.collectionEnds();
    EXPECT_EQ(jvmti.standardFired(), 1);
    EXPECT_EQ(waiter.join(), -1);
    EXPECT_FALSE(jvmti.held());
    // A wait that ends normally makes no JNI call.
    EXPECT_TRUE(jni.calls().empty());
}

TEST_F(GcWait, ExtensionEventAloneDrivesTheAgent)
{
    jvmti.extensionEvents = {{90, FakeJvmti::CYCLE_FINISH_ID}};
    start();
    Waiter waiter(agent, jni);
    expectWaiting(1, {&waiter});
    jvmti.collectionEnds();
    EXPECT_EQ(waiter.join(), -1);
    EXPECT_EQ(jvmti.extensionFired(), 1);
    EXPECT_EQ(jvmti.standardFired(), 0);
}

TEST_F(GcWait, TwoWaitersAreReleasedByOneCollectionAndReadTheSameValue)
{
    jvmti.extensionFunctionIds = {FakeJvmti::HEAP_TOTAL_ID, FakeJvmti::HEAP_FREE_ID};
    jvmti.heapTotal = 8 * GiB;
    jvmti.heapFree = 3 * GiB;
    start();
    Waiter first(agent, jni);
    Waiter second(agent, jni);
    expectWaiting(2, {&first, &second});
    jvmti.collectionEnds();
    EXPECT_EQ(first.join(), 5 * GiB);
    EXPECT_EQ(second.join(), 5 * GiB);
    EXPECT_EQ(jvmti.heapCalls(), (std::vector<std::string>{"total", "free"}));
}

TEST_F(GcWait, HeapUsedIsTotalMinusFreeIn64Bits)
{
    // Listed free first and among other functions: the agent finds both by id.
    jvmti.extensionFunctionIds = {"com.sun.hotspot.functions.IsClassUnloadingEnabled", FakeJvmti::HEAP_FREE_ID,
                                  FakeJvmti::HEAP_TOTAL_ID};
    jvmti.extensionEvents = {{90, FakeJvmti::CYCLE_FINISH_ID}};
    start();
    struct Case {
        jlong total;
        jlong free;
        jlong used;
    };
    const Case cases[] = {
        {0x1'0000'0005LL, 3, 0x1'0000'0002LL},           // total beyond 32 bits
        {48 * GiB + 17, 0x1'0000'0000LL, 44 * GiB + 17}, // both beyond 32 bits
        {0x7fff'ffff'ffff'ffffLL, 1, 0x7fff'ffff'ffff'fffeLL},
        {4 * GiB, 4 * GiB, 0},
    };
    for (const Case& c : cases) {
        jvmti.heapTotal = c.total;
        jvmti.heapFree = c.free;
        Waiter waiter(agent, jni);
        expectWaiting(1, {&waiter});
        jvmti.collectionEnds();
        EXPECT_EQ(waiter.join(), c.used) << c.total << " - " << c.free;
    }
    // Total, then free, once per collection; the other function is never called.
    EXPECT_EQ(jvmti.heapCalls(),
              (std::vector<std::string>{"total", "free", "total", "free", "total", "free", "total", "free"}));
}

TEST_F(GcWait, OneHeapFunctionAloneLeavesMinusOne)
{
    jvmti.extensionFunctionIds = {FakeJvmti::HEAP_TOTAL_ID};
    jvmti.heapTotal = 8 * GiB;
    start();
    Waiter waiter(agent, jni);
    expectWaiting(1, {&waiter});
    jvmti.collectionEnds();
    EXPECT_EQ(waiter.join(), -1);
    EXPECT_TRUE(jvmti.heapCalls().empty());
}

TEST_F(GcWait, AWaiterThatComesAfterACollectionWaitsForTheNextOne)
{
    jvmti.extensionFunctionIds = {FakeJvmti::HEAP_TOTAL_ID, FakeJvmti::HEAP_FREE_ID};
    jvmti.heapTotal = 10;
    jvmti.heapFree = 4;
    start();
    jvmti.collectionEnds(); // nobody waits: not remembered
    jvmti.heapFree = 1;
    Waiter waiter(agent, jni);
    expectWaiting(1, {&waiter});
    jvmti.collectionEnds();
    EXPECT_EQ(waiter.join(), 9);
}

TEST_F(GcWait, AWaitThatWakesUpWithoutACollectionGoesOnWaiting)
{
    start();
    Waiter waiter(agent, jni);
    expectWaiting(1, {&waiter});
    jvmti.wakeSpuriously();
    ASSERT_TRUE(eventually([&] { return jvmti.waitCalls() == 2 && jvmti.waiting() == 1; }));
    jvmti.wakeSpuriously();
    ASSERT_TRUE(eventually([&] { return jvmti.waitCalls() == 3 && jvmti.waiting() == 1; }));
    expectWaiting(1, {&waiter});
    jvmti.collectionEnds();
    EXPECT_EQ(waiter.join(), -1);
    EXPECT_EQ(jvmti.waitCalls(), 3);
}

TEST_F(GcWait, AnInterruptEndsTheWaitAndIsSetAgainAfterTheMonitorIsReleased)
{
    jvmti.extensionFunctionIds = {FakeJvmti::HEAP_TOTAL_ID, FakeJvmti::HEAP_FREE_ID};
    jvmti.heapTotal = 7;
    jvmti.heapFree = 2;
    start();
    jvmti.collectionEnds();
    StderrCapture err;
    Waiter waiter(agent, jni);
    expectWaiting(1, {&waiter});
    jvmti.interruptWaiter();
    // The value of the last collection.
    EXPECT_EQ(waiter.join(), 5);
    EXPECT_EQ(err.text(), "MR: gcsentry: error notifying monitor: 52\n");
    EXPECT_FALSE(jvmti.held());
    EXPECT_TRUE(jni.interruptSet());
    EXPECT_EQ(jni.callsUnderMonitor(), 0);
    EXPECT_EQ(jni.calls(), (std::vector<std::string>{
                               "FindClass java/lang/Thread", "GetStaticMethodID currentThread()Ljava/lang/Thread;",
                               "GetMethodID interrupt()V", "CallStaticObjectMethodV", "ExceptionCheck",
                               "CallVoidMethodV", "ExceptionCheck", "DeleteLocalRef thread", "DeleteLocalRef class"}));
}

TEST_F(GcWait, AnInterruptBeforeTheWaitEndsItAtOnce)
{
    start();
    jvmti.interruptWaiter();
    StderrCapture err;
    EXPECT_EQ(agent.waitForGCCompletion(jni.env(), nullptr), -1);
    EXPECT_EQ(err.text(), "MR: gcsentry: error notifying monitor: 52\n");
    EXPECT_TRUE(jni.interruptSet());
    EXPECT_EQ(jni.callsUnderMonitor(), 0);
}

TEST_F(GcWait, MonitorErrorsInGcFinishArePrintedAndGoneThrough)
{
    jvmti.extensionFunctionIds = {FakeJvmti::HEAP_TOTAL_ID, FakeJvmti::HEAP_FREE_ID};
    jvmti.heapTotal = 3 * GiB;
    jvmti.heapFree = 1 * GiB;
    start();
    jvmti.failing["RawMonitorEnter"] = JVMTI_ERROR_INVALID_MONITOR;
    StderrCapture err;
    agent.gcFinish();
    // Without the monitor, notifying and exiting fail too; the value is still computed.
    EXPECT_EQ(err.text(), "MR: gcsentry: error entering monitor: 50\n"
                          "MR: gcsentry: error notifying monitor: 51\n"
                          "MR: gcsentry: error exiting monitor: 51\n");
    EXPECT_EQ(jvmti.heapCalls(), (std::vector<std::string>{"total", "free"}));
}

TEST_F(GcWait, MonitorErrorsInTheWaitEndItWithTheLastValue)
{
    start();
    jvmti.failing["RawMonitorEnter"] = JVMTI_ERROR_INVALID_MONITOR;
    StderrCapture err;
    // The wait fails (the monitor is not owned) and does not loop: it returns.
    EXPECT_EQ(agent.waitForGCCompletion(jni.env(), nullptr), -1);
    EXPECT_EQ(err.text(), "MR: gcsentry: error entering monitor: 50\n"
                          "MR: gcsentry: error notifying monitor: 51\n"
                          "MR: gcsentry: error exiting monitor: 51\n");
    EXPECT_TRUE(jni.calls().empty()); // not an interrupt: nothing to set again
}

TEST_F(GcWait, NotifyAndExitErrorsArePrinted)
{
    start();
    jvmti.failing["RawMonitorNotifyAll"] = JVMTI_ERROR_INTERNAL;
    jvmti.failing["RawMonitorExit"] = JVMTI_ERROR_INVALID_MONITOR;
    StderrCapture err;
    agent.gcFinish();
    EXPECT_EQ(err.text(), "MR: gcsentry: error notifying monitor: 113\n"
                          "MR: gcsentry: error exiting monitor: 50\n");
}

TEST_F(GcWait, BothCallbacksCallGcFinish)
{
    start();
    for (int round = 0; round < 2; round++) {
        Waiter waiter(agent, jni);
        expectWaiting(1, {&waiter});
        if (round == 0) {
            agent.standardGCFinishCallback(jvmti.env());
        } else {
            agent.cadenzGCFinishCallback(jvmti.env(), 1, 2.0, "three");
        }
        EXPECT_EQ(waiter.join(), -1);
    }
}

TEST_F(GcWait, GcFinishBeforeStartUpDoesNothing)
{
    agent.gcFinish();
    EXPECT_EQ(jvmti.monitorCalls(), 0);
}

} // namespace
