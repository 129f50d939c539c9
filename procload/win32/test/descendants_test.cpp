// The descendant walk over snapshots of our own making (cycles, processes
// listed twice, the limit), and a three-level tree of real processes.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "procload/win32/descendants.h"
#include "procload/win32/test/meter_test_support.h"

#include <gtest/gtest.h>

using namespace procload_test;

namespace {

TEST(DescendantWalk, DepthOrderEachIdOnceAndTheLimit)
{
    struct Case {
        const char* name;
        std::vector<ProcessEntry> entries; // {pid, parent} in snapshot order
        int32_t root;
        int32_t maximum;
        std::vector<int32_t> expected;
    };
    const Case cases[] = {
        {"three levels: each child, then its own descendants",
         {{10, 1}, {11, 10}, {12, 10}, {13, 11}, {14, 12}, {15, 11}, {16, 13}},
         10,
         512,
         {11, 13, 16, 15, 12, 14}},
        {"no children", {{10, 1}, {11, 1}}, 10, 512, {}},
        {"a cycle through the root (its parent id now names its grandchild)",
         {{10, 12}, {11, 10}, {12, 11}},
         10,
         512,
         {11, 12}},
        {"a cycle below the root", {{20, 1}, {21, 20}, {22, 21}, {21, 22}}, 1, 512, {20, 21, 22}},
        {"a process listed twice", {{30, 1}, {31, 30}, {30, 1}, {31, 30}}, 1, 512, {30, 31}},
        {"its own parent", {{40, 40}, {41, 40}}, 40, 512, {41}},
        {"cut in depth order", {{2, 1}, {3, 1}, {4, 2}, {5, 4}}, 1, 3, {2, 4, 5}},
        {"the idle process's id 0 is nobody's child", {{0, 0}, {4, 0}, {0, 7}}, 7, 512, {}},
        {"root 0", {{0, 0}, {4, 0}}, 0, 512, {}},
        {"root -1", {{5, -1}}, -1, 512, {}},
        {"maximum 0", {{2, 1}}, 1, 0, {}},
    };
    for (const Case& c : cases) {
        int32_t ids[DESCENDANTS_MAX_SIZE];
        int32_t n = walkDescendants(c.entries.data(), static_cast<int32_t>(c.entries.size()), c.root, c.maximum, ids);
        EXPECT_EQ(std::vector<int32_t>(ids, ids + n), c.expected) << c.name;
    }

    // A chain deeper than the limit, and a maximum above it: 512 ids.
    std::vector<ProcessEntry> chain;
    for (int32_t pid = 2; pid < 700; pid++) {
        chain.push_back({pid, pid - 1});
    }
    int32_t ids[DESCENDANTS_MAX_SIZE + 8];
    ASSERT_EQ(walkDescendants(chain.data(), static_cast<int32_t>(chain.size()), 1, 1024, ids), 512);
    EXPECT_EQ(ids[0], 2);
    EXPECT_EQ(ids[511], 513);
}

TEST(Descendants, ThreeLevelTreeOfRealProcesses)
{
    TestJniEnv jni;
    auto descendants = [&jni](int32_t pid) {
        return elements<jint>(
            jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessId_1Descendants(jni, nullptr, pid));
    };
    // This program's child, its two children and their two children each.
    Target tree("tree 3 2 ready serve");
    ASSERT_TRUE(tree.ready());
    ASSERT_EQ(tree.running(), 7);
    std::vector<jint> ids = descendants(static_cast<int32_t>(GetCurrentProcessId()));
    std::map<int32_t, int32_t> parent = parentsNow();
    ASSERT_EQ(ids.size(), 7U);
    EXPECT_EQ(ids[0], tree.id());
    EXPECT_EQ(parent[ids[1]], ids[0]);
    EXPECT_EQ(parent[ids[2]], ids[1]);
    EXPECT_EQ(parent[ids[3]], ids[1]);
    EXPECT_EQ(parent[ids[4]], ids[0]);
    EXPECT_EQ(parent[ids[5]], ids[4]);
    EXPECT_EQ(parent[ids[6]], ids[4]);

    EXPECT_EQ(descendants(tree.id()), std::vector<jint>(ids.begin() + 1, ids.end()));
    EXPECT_EQ(descendants(ids[4]), std::vector<jint>(ids.begin() + 5, ids.end()));
    EXPECT_TRUE(descendants(ids[6]).empty());
    EXPECT_TRUE(descendants(0).empty());
    EXPECT_TRUE(tree.finish()) << "the tree ends with its first program's input";
}

} // namespace
