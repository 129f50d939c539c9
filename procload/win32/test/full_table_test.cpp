// A crowd of real processes: 513 running processes for a table of 512
// slots, and a tree of more than 512 descendants. Starting them under wine
// takes about a minute, so every case shares one crowd; the test has a CTest
// entry of its own.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "procctl/win32/test/win32_test_support.h"
#include "procload/slot_table.h"
#include "procload/win32/test/meter_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

using namespace procload_test;
using win32test::captureStdout;

namespace {

TEST(FullTable, ACrowdOf513Processes)
{
    resetMeter();
    TestJniEnv jni;
    auto descendants = [&jni](int32_t pid) {
        return elements<jint>(
            jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessId_1Descendants(jni, nullptr, pid));
    };
    // The crowd's first program and its 512 children.
    Target crowd("tree 2 512 ready serve");
    ASSERT_TRUE(crowd.ready());
    ASSERT_EQ(crowd.running(), 513);

    // Exactly 512 children: all of them. 513 descendants: cut at 512, in
    // depth order.
    std::vector<jint> children = descendants(crowd.id());
    ASSERT_EQ(children.size(), 512U);
    std::map<int32_t, int32_t> parent = parentsNow();
    for (jint child : children) {
        ASSERT_EQ(parent[child], crowd.id());
    }
    ASSERT_EQ(std::set<jint>(children.begin(), children.end()).size(), 512U);
    std::vector<jint> ours = descendants(static_cast<int32_t>(GetCurrentProcessId()));
    ASSERT_EQ(ours.size(), 512U);
    EXPECT_EQ(ours[0], crowd.id());
    EXPECT_TRUE(std::equal(ours.begin() + 1, ours.end(), children.begin()));

    // 513 running processes for 512 slots, with debug output off: the last
    // one is refused (slot 0 is another's) and the table says so.
    std::vector<jint> ids = {crowd.id()};
    ids.insert(ids.end(), children.begin(), children.end());
    std::vector<jdouble> figures;
    std::string out = captureStdout([&] {
        figures = elements<jdouble>(jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast___3J_3I(
                                             jni, nullptr, nullptr, intArray(jni, ids)));
    });
    const std::string line = "ProcLoad lastProcessInfo_GetIndex ERROR - PROCESS_ID_MAX_SIZE too small\n";
    EXPECT_EQ(out, line);
    ASSERT_EQ(figures.size(), 513U);
    EXPECT_EQ(figures[512], 0.0);
    EXPECT_EQ(lastProcessInfoSize, 512);
    EXPECT_EQ(lastProcessInfo[0].id, crowd.id());
    const LastProcessSlot slot0 = lastProcessInfo[0];
    int32_t index = -1;
    out = captureStdout([&] { index = lastProcessInfo_GetIndex(ids[512]); });
    EXPECT_EQ(index, 0);
    EXPECT_EQ(out, line);
    EXPECT_EQ(memcmp(&slot0, &lastProcessInfo[0], sizeof slot0), 0) << "slot 0 is left to its owner";

    // One of the crowd ends; a new process takes its slot and measures from
    // its own creation, not against the sample of the one that ended.
    const int32_t gone = ids[8];
    ASSERT_EQ(findExistingSlot(gone), 8);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(gone));
    ASSERT_NE(process, nullptr);
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
    Sleep(2000);
    Target newcomer("ready busy 3000 serve");
    ASSERT_TRUE(newcomer.ready());
    Sleep(500);
    Times before = newcomer.times();
    double figure = Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcLoadLast__JI(jni, nullptr, 0, newcomer.id());
    Times after = newcomer.times();
    EXPECT_EQ(findExistingSlot(newcomer.id()), 8);
    EXPECT_EQ(findExistingSlot(gone), -1);
    expectSinceCreation(figure, before, after, "measured from the newcomer's creation");

    EXPECT_TRUE(newcomer.finish());
    EXPECT_TRUE(crowd.finish(120000)) << "the crowd ends with its first program's input";
    resetMeter();
}

} // namespace
