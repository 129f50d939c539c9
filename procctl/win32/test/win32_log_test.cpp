// The diagnostic log of the Windows build: the switches (read under a named
// mutex, $$TRACE not among them) and the line format.  A program of its own,
// since a switch once on stays on for the life of the process.
#include "procctl/process_log.h"
#include "procctl/win32/test/win32_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

namespace {

// The switches are read once and never switched off, so the whole sequence
// runs in one test: off, entry/exit alone, then on.
TEST(Win32Log, SwitchesAndLineFormat)
{
    SetEnvironmentVariableA("__JNI_PROCESS_DEBUG", nullptr);
    SetEnvironmentVariableA("__JNI_PROCESS_ENTRYEXIT", nullptr);
    SetEnvironmentVariableA("$$TRACE", "");
    process_log_init_dbg();
    auto everything = [] {
        process_log("plain %d\n", 7);
        process_log_entry("Op()");
        process_log_exit("Op()");
    };
    // $$TRACE does not count on Windows.
    EXPECT_EQ(win32test::captureStdout(everything), "");
    EXPECT_EQ(process_log_is_dbg_enabled(), 0);
    // The initialisation is serialised by a named mutex, left unowned.
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "__JNI_DBG_ENABLE_MUTEX");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);

    SetEnvironmentVariableA("__JNI_PROCESS_ENTRYEXIT", "1");
    process_log_init_dbg();
    EXPECT_EQ(win32test::captureStdout(everything), "");

    // An empty value switches the log on.
    SetEnvironmentVariableA("__JNI_PROCESS_DEBUG", "");
    process_log_init_dbg();
    std::string out = win32test::captureStdout(everything);
    std::string prefix = "Process: \\[" + std::to_string(GetCurrentProcessId()) + "\\], Thread: \\[0x" + [] {
        char hex[16];
        snprintf(hex, sizeof(hex), "%x", static_cast<unsigned int>(GetCurrentThreadId()));
        return std::string(hex);
    }() + "\\]: ";
    std::regex expected("Time: \\[0x[0-9a-f]+\\], " + prefix + "plain 7\n" + "Time: \\[0x[0-9a-f]+\\], " + prefix +
                        "> entering: \\[Op\\(\\)\\]\n" + "Time: \\[0x[0-9a-f]+\\], " + prefix +
                        "< exiting: \\[Op\\(\\)\\]\n");
    EXPECT_TRUE(std::regex_match(out, expected)) << out;

    // A long message is cut to 1947 characters.
    std::string longText(3000, 'x');
    std::string cut = win32test::captureStdout([&] { process_log("%s", longText.c_str()); });
    EXPECT_EQ(cut.size() - cut.find(": x") - 2, 1947u);
    SetEnvironmentVariableA("__JNI_PROCESS_DEBUG", nullptr);
    SetEnvironmentVariableA("__JNI_PROCESS_ENTRYEXIT", nullptr);
    SetEnvironmentVariableA("$$TRACE", nullptr);
}

} // namespace
