// The shared process-control code as the Windows build compiles it:
// exception texts from FormatMessageA and the conversions between the ANSI
// code page and UTF-8.
#include "common/test/test_jni_env.h"
#include "procctl/process_error.h"
#include "procctl/process_strutil.h"
#include "procctl/win32/test/win32_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string systemText(DWORD error)
{
    char text[1024] = {0};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 1023,
                       nullptr) == 0) {
        return "";
    }
    return text;
}

TEST(Win32Exception, MessagesCarryTheSystemTextOfFormatMessage)
{
    TestJniEnv jni;
    ThrowException(jni, PROC_SYSTEM_ERR, "Error creating new process. ", ERROR_FILE_NOT_FOUND);
    auto thrown = jni.takeException();
    ASSERT_TRUE(thrown.has_value());
    EXPECT_EQ(thrown->className, "com/qor/vt/process/exception/ProcessOpException");
    std::string text = systemText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    // The system text keeps its closing carriage return and line feed.
    EXPECT_EQ(thrown->message, "Error creating new process.  002: " + text);
    EXPECT_EQ(thrown->message.substr(thrown->message.size() - 2), "\r\n");

    // A text with an insert ("%1 is not a valid Win32 application") is used
    // as it stands.
    ThrowException(jni, PROC_INVALID_EXECUTABLE, "bad", ERROR_BAD_EXE_FORMAT);
    thrown = jni.takeException();
    ASSERT_TRUE(thrown.has_value());
    EXPECT_EQ(thrown->className, "com/qor/vt/process/exception/InvalidExecutableException");
    EXPECT_EQ(thrown->message, "bad 193: " + systemText(ERROR_BAD_EXE_FORMAT));

    ThrowException(jni, 99, "plain", 0);
    EXPECT_EQ(jni.takeException()->message, "plain");

    jni.hideClass("com/qor/vt/process/exception/AccessDeniedException");
    ThrowException(jni, PROC_ACCESS_DENIED, "denied", 0);
    EXPECT_EQ(jni.takeException()->className, "java/lang/Exception");
    jni.hideClass("java/lang/Exception");
    ThrowException(jni, PROC_ACCESS_DENIED, "denied", 0);
    EXPECT_FALSE(jni.exceptionPending());
}

TEST(Win32Strings, AnsiAndUtf8ConvertThroughUtf16)
{
    // "café" in the ANSI code page and in UTF-8; every Western code page
    // wine may pick holds é at 0xE9.
    if (GetACP() != 1252) {
        GTEST_SKIP() << "ANSI code page is " << GetACP();
    }
    char out[16];
    ASSERT_EQ(process_stringConverterToUTF8(out, "caf\xe9", sizeof(out)), out);
    EXPECT_STREQ(out, "caf\xc3\xa9");
    ASSERT_EQ(process_stringConverterFromUTF8(out, "caf\xc3\xa9", sizeof(out)), out);
    EXPECT_STREQ(out, "caf\xe9");

    // A destination too small fails and is still terminated; one byte gives
    // the empty string or a failure, never an unterminated buffer.
    char small[4];
    memset(small, 'Z', sizeof(small));
    EXPECT_EQ(process_stringConverterToUTF8(small, "caf\xe9", sizeof(small)), nullptr);
    EXPECT_EQ(small[3], '\0');
    char one[1] = {'Z'};
    process_stringConverterToUTF8(one, "abc", 1);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(process_stringConverterToUTF8(out, nullptr, sizeof(out)), nullptr);
    EXPECT_EQ(process_stringConverterFromUTF8(nullptr, "a", sizeof(out)), nullptr);
}

TEST(Win32Strings, JavaArraysBecomeAnsiArrays)
{
    TestJniEnv jni;
    char** array = javaStrArrayToCStrArray(jni, jni.stringArray({"one", std::nullopt, "three"}));
    ASSERT_NE(array, nullptr);
    EXPECT_STREQ(array[0], "one");
    EXPECT_EQ(array[1], nullptr);
    ReleaseCStrArray(array);

    char buffer[8];
    process_GetNativeStringFromJString(jni, buffer, jni.string("a long string"), sizeof(buffer));
    EXPECT_STREQ(buffer, "a long ");
    EXPECT_EQ(jni.unreleased(), 0);

    int value = 0;
    EXPECT_EQ(process_ConvertJlongToPointer(process_ConvertPointerTo64(&value)), &value);
}

} // namespace
