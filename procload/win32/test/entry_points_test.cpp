// The library as Java loads it, the ids and the processor count, the
// hardware-information arrays, the container figures and the debug switch.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "common/test/win32_seams.h"
#include "procctl/win32/test/win32_test_support.h"
#include "procload/procload_log.h"
#include "procload/win32/test/meter_test_support.h"

#include <gtest/gtest.h>

using namespace procload_test;
using win32test::captureStdout;

namespace {

#define PROCLOAD(name) "Java_com_qor_vt_mr_rlm_procload_ProcLoad_" #name

TEST(EntryPoints, TheLibraryAsJavaLoadsIt)
{
    win32test::LibraryCopy lib("ProcLoad");
    ASSERT_NE(lib.module(), nullptr);
    auto onLoad = lib.entry<jint(JNICALL*)(JavaVM*, void*)>("JNI_OnLoad");
    auto processId =
        lib.entry<decltype(&Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessId)>(PROCLOAD(nativeGetProcessId));
    ASSERT_NE(onLoad, nullptr);
    ASSERT_NE(processId, nullptr);
    jint version = 0;
    std::string out = captureStdout([&] { version = onLoad(nullptr, nullptr); });
    EXPECT_EQ(version, 0x10004);
    EXPECT_EQ(out.rfind("ProcLoad JNI_OnLoad ENTER ", 0), 0U) << out;
    EXPECT_NE(out.find("\nProcLoad JNI_OnLoad EXIT\n"), std::string::npos) << out;
    TestJniEnv jni;
    EXPECT_EQ(processId(jni, nullptr), static_cast<jint>(GetCurrentProcessId()));
}

TEST(EntryPoints, IdsAndProcessors)
{
    TestJniEnv jni;
    EXPECT_EQ(Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessId(jni, nullptr),
              static_cast<jint>(GetCurrentProcessId()));
    EXPECT_EQ(Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetThreadId(jni, nullptr),
              static_cast<jlong>(GetCurrentThreadId()));
    EXPECT_EQ(Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessorCount(jni, nullptr, 0),
              win32test::linuxOnlineProcessors());
}

TEST(EntryPoints, ContainerFiguresAreNotReadOnWindows)
{
    TestJniEnv jni;
    EXPECT_EQ(elements<jlong>(jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetContainerInfo(jni, nullptr)),
              std::vector<jlong>(6, -1));
}

TEST(EntryPoints, HardwareInformation)
{
    TestJniEnv jni;
    std::vector<jlong> expected(21, -1);
    expected[20] = 0;
    EXPECT_EQ(elements<jlong>(jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetHardwareInfoStatic(jni, nullptr)),
              expected);

    std::vector<jlong> asked(90);
    for (size_t i = 0; i < asked.size(); i++) {
        asked[i] = static_cast<jlong>(i) + 1000;
    }
    asked[17] = 12416; // the machine's idle share, which this build does not provide
    struct Case {
        const char* name;
        jlongArray request;
        size_t echoed; // entries from 21 on that keep the request's values
    };
    const Case cases[] = {
        {"90 entries", longArray(jni, asked), 80},
        {"30 entries", longArray(jni, std::vector<jlong>(asked.begin(), asked.begin() + 30)), 30},
        {"empty", longArray(jni, {}), 0},
        {"null", nullptr, 0},
    };
    for (const Case& c : cases) {
        std::vector<jlong> answer(80, -1);
        for (size_t i = 21; i < c.echoed; i++) {
            answer[i] = asked[i];
        }
        EXPECT_EQ(elements<jlong>(jni, Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetHardwareInfoDynamic(
                                           jni, nullptr, c.request)),
                  answer)
            << c.name;
    }
    EXPECT_FALSE(jni.exceptionPending());
}

TEST(EntryPoints, DebugSwitch)
{
    TestJniEnv jni;
    struct Case {
        jboolean flag;
        int32_t level;
        bool lines; // a later call prints its debug lines
    };
    const Case cases[] = {{JNI_TRUE, 1, true}, {2, 0, false}, {JNI_FALSE, 0, false}};
    for (const Case& c : cases) {
        std::string out = captureStdout(
            [&] { Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeEnableDebugMode(jni, nullptr, c.flag); });
        EXPECT_EQ(out, "ProcLoad " PROCLOAD(nativeEnableDebugMode) " ENTER\nProcLoad " PROCLOAD(
                           nativeEnableDebugMode) " EXIT\n");
        EXPECT_EQ(debugEnabled, c.level) << static_cast<int>(c.flag);
        out = captureStdout([&] { Java_com_qor_vt_mr_rlm_procload_ProcLoad_nativeGetProcessorCount(jni, nullptr, 5); });
        EXPECT_EQ(out.find("ProcLoad " PROCLOAD(nativeGetProcessorCount) " ENTER - processId= 5\n") == 0, c.lines)
            << out;
    }
}

} // namespace
