// Since-creation and since-last-call figures of real processes against their
// own process times, the library's own process, and the ids and arrays that
// name no process. Each figure must lie within a point of what the process
// times read just before and just after it give.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "procload/slot_table.h"
#include "procload/win32/cpu_utilisation.h"
#include "procload/win32/process_times.h"
#include "procload/win32/test/meter_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace procload_test;

namespace {

class LoadFigures : public ::testing::Test {
  protected:
    void SetUp() override { resetMeter(); }
    void TearDown() override { resetMeter(); }

    double sinceLast(int32_t pid)
    {
        return Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast__JI(jni, nullptr, 0, pid);
    }
    std::vector<jdouble> sinceLast(const std::vector<jint>& ids)
    {
        return elements<jdouble>(jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast___3J_3I(
                                          jni, nullptr, nullptr, intArray(jni, ids)));
    }
    std::vector<jdouble> sinceCreation(const std::vector<jint>& ids)
    {
        return elements<jdouble>(jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoad___3J_3I(
                                          jni, nullptr, nullptr, intArray(jni, ids)));
    }

    TestJniEnv jni;
};

// The figure of an interval from a sample taken between before1 and after1
// to one taken between before2 and after2.
void expectInterval(double figure, const Times& before1, const Times& after1, const Times& before2, const Times& after2,
                    const char* what)
{
    double low = percent(before2.cpu - after1.cpu, after2.now - before1.now);
    double high = percent(after2.cpu - before1.cpu, before2.now - after1.now);
    EXPECT_GE(figure, low - 1.0) << what;
    EXPECT_LE(figure, high + 1.0) << what;
}

TEST_F(LoadFigures, SpinningProcessAgainstItsOwnTimes)
{
    // Idle at first, then busy: the second since-last-call figure tells an
    // interval from the first sample from one from creation. The target reads
    // its own process times before and after each sample.
    Target target("ready serve");
    ASSERT_TRUE(target.ready());
    Sleep(700);
    Times before1 = target.times();
    double first = sinceLast(target.id());
    Times after1 = target.times();
    expectSinceCreation(first, before1, after1, "the first figure measures from creation");

    ASSERT_TRUE(target.busy(5000));
    Sleep(2000);
    Times before2 = target.times();
    std::vector<jdouble> second = sinceLast({target.id(), target.id(), 0, -1});
    Times after2 = target.times();
    double creation = sinceCreation({target.id()}).at(0);
    Times after3 = target.times();
    ASSERT_EQ(second.size(), 4U);
    expectInterval(second[0], before1, after1, before2, after2, "the second figure measures from the first");
    ASSERT_GT(percent(before2.cpu - after1.cpu, after2.now - before1.now) -
                  percent(after2.cpu, after2.now - after2.creation),
              3.0)
        << "the target was too idle to tell the two intervals apart";
    EXPECT_EQ(second[1], 0.0) << "the same id again in one batch";
    EXPECT_EQ(second[2], 0.0) << "id 0";
    EXPECT_EQ(second[3], 0.0) << "id -1";
    expectSinceCreation(creation, after2, after3, "since creation");
    EXPECT_TRUE(target.finish());
}

TEST_F(LoadFigures, AnIdThatNamedAnotherProcessStartsAfresh)
{
    Target target("ready busy 3000 serve");
    ASSERT_TRUE(target.ready());
    Sleep(500);
    // The slot holds a sample of an earlier process with the same id, taken
    // a tenth of a second ago: against it the figure would be far too high.
    LastProcessSlot& slot = lastProcessInfo[lastProcessInfo_GetIndex(target.id())];
    Times before = target.times();
    slot.creationTime = before.creation - 50000000;
    slot.lastTime = before.now - 1000000;
    double figure = sinceLast(target.id());
    Times after = target.times();
    expectSinceCreation(figure, before, after, "measured from the process's own creation");
    EXPECT_EQ(slot.creationTime, before.creation);
    EXPECT_TRUE(target.finish());
}

TEST_F(LoadFigures, ProcessesThatDoNotRunAnswerZero)
{
    Target ended("");
    ASSERT_TRUE(ended.started());
    ASSERT_EQ(WaitForSingleObject(ended.process(), 10000), WAIT_OBJECT_0);
    Target running("ready busy 2000 serve");
    ASSERT_TRUE(running.ready());
    // CPU time is charged by clock ticks: right after "ready" the busy
    // process may not have been charged one yet, and would read 0.
    Sleep(300);
    // The ended process is still held open here, and its times can be read.
    ASSERT_NE(timesOf(GetProcessTimes, ended.process()).creation, 0U);
    const std::vector<int32_t> ids = {ended.id(), 0, -1, 0x7FFFFFFF, running.id()};
    double figures[5] = {7.0, 7.0, 7.0, 7.0, 7.0};
    getProcLoad(5, ids.data(), figures);
    EXPECT_EQ(std::vector<double>(figures, figures + 4), std::vector<double>(4, 0.0));
    EXPECT_GT(figures[4], 0.0);
    std::fill(figures, figures + 5, 7.0);
    getProcLoadLast(5, ids.data(), figures);
    EXPECT_EQ(std::vector<double>(figures, figures + 4), std::vector<double>(4, 0.0));
    EXPECT_GT(figures[4], 0.0);
    EXPECT_EQ(lastProcessInfoSize, 1) << "only the running process took a slot";
    EXPECT_EQ(confirmProcessActive(ended.id()), 0);
    EXPECT_EQ(confirmProcessActive(running.id()), running.id());
    EXPECT_TRUE(running.finish());
}

TEST_F(LoadFigures, ArraysOfIds)
{
    Target target("ready busy 3000 serve");
    ASSERT_TRUE(target.ready());
    Sleep(200);
    EXPECT_EQ(Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoad___3J_3I(jni, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast___3J_3I(jni, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_TRUE(sinceCreation({}).empty());
    EXPECT_TRUE(sinceLast(std::vector<jint>{}).empty());
    // The first 1024 ids are sampled; the answer has one entry per id.
    std::vector<jdouble> figures = sinceCreation(std::vector<jint>(1100, target.id()));
    ASSERT_EQ(figures.size(), 1100U);
    EXPECT_GT(*std::min_element(figures.begin(), figures.begin() + 1024), 0.0);
    EXPECT_EQ(std::vector<jdouble>(figures.begin() + 1024, figures.end()), std::vector<jdouble>(76, 0.0));
    EXPECT_EQ(jni.unreleased(), 0);
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_TRUE(target.finish());
}

TEST_F(LoadFigures, NoFigureExceedsTheWholeMachine)
{
    // The system charges CPU time a clock tick at a time, so over a short
    // interval (two callers sampling one after the other) a process can
    // seem to have used far more than every processor. Here: an hour of CPU
    // time for a process a few seconds old.
    processTimesReader = [](HANDLE process, FILETIME* creation, FILETIME* exit, FILETIME* kernel,
                            FILETIME* user) -> BOOL {
        if (!GetProcessTimes(process, creation, exit, kernel, user)) {
            return FALSE;
        }
        const uint64_t hour = 3600ULL * 10000000ULL;
        *kernel = FILETIME{static_cast<DWORD>(hour), static_cast<DWORD>(hour >> 32)};
        return TRUE;
    };
    const jint self = static_cast<jint>(GetCurrentProcessId());
    Java_com_qor_vt_mr_rlm_procload_ProcLoad_initStats(jni, nullptr, self);
    const double figures[] = {
        Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoad__JI(jni, nullptr, 0, self),
        Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast__JI(jni, nullptr, 0, self),
        Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__(jni, nullptr),
        Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__I(jni, nullptr, 0),
    };
    for (double figure : figures) {
        EXPECT_EQ(figure, 100.0);
    }
}

void spin(DWORD milliseconds)
{
    std::atomic<bool> stop{false};
    std::thread spinner([&stop] {
        volatile unsigned long long n = 0;
        while (!stop.load()) {
            n = n + 1;
        }
    });
    Sleep(milliseconds);
    stop = true;
    spinner.join();
}

TEST_F(LoadFigures, OwnProcess)
{
    HANDLE self = GetCurrentProcess();
    ASSERT_EQ(Java_com_qor_vt_mr_rlm_procload_ProcLoad_initStats(jni, nullptr, 77), 0);
    spin(300);
    Times before1 = timesOf(GetProcessTimes, self);
    double first = Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__I(jni, nullptr, 0);
    double creation = Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__(jni, nullptr);
    Times after1 = timesOf(GetProcessTimes, self);
    expectSinceCreation(first, before1, after1, "the first figure after initStats measures from creation");
    expectSinceCreation(creation, before1, after1, "since creation");

    spin(1500);
    Times before2 = timesOf(GetProcessTimes, self);
    double second = Java_com_qor_vt_mr_rlm_procload_ProcLoad_getCPUUtilization__I(jni, nullptr, -1);
    Times after2 = timesOf(GetProcessTimes, self);
    expectInterval(second, before1, after1, before2, after2, "the second from the first");
}

} // namespace
