// Code-set conversions, system error texts and pointer conversions.
#include "procctl/process_error.h"
#include "procctl/unix/unix_process_strutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <string>

namespace {

// Switches the C library's locale for one test and restores it after.
class LocaleScope {
  public:
    explicit LocaleScope(const char* name) : saved_(setlocale(LC_ALL, nullptr))
    {
        EXPECT_NE(setlocale(LC_ALL, name), nullptr) << name;
    }
    ~LocaleScope() { setlocale(LC_ALL, saved_.c_str()); }
    LocaleScope(const LocaleScope&) = delete;
    LocaleScope& operator=(const LocaleScope&) = delete;

  private:
    std::string saved_;
};

const char* const eAcuteUtf8 = "caf\xc3\xa9";
const char* const eAcuteLatin1 = "caf\xe9";
const char* const euroUtf8 = "\xe2\x82\xac";

TEST(StringConverter, SameCodeSetCopiesBoundedAndTerminated)
{
    char dst[8];
    memset(dst, 'Z', sizeof(dst));
    EXPECT_EQ(process_stringConverter(dst, "abcdefghij", sizeof(dst), "UTF-8", "UTF-8"), dst);
    EXPECT_STREQ(dst, "abcdefg");

    char one[1] = {'Z'};
    EXPECT_EQ(process_stringConverter(one, "abc", 1, "X", "X"), one);
    EXPECT_EQ(one[0], '\0');

    // Null names stand for ISO8859-1, so two nulls are the same code set.
    EXPECT_EQ(process_stringConverter(dst, eAcuteLatin1, sizeof(dst), nullptr, nullptr), dst);
    EXPECT_STREQ(dst, eAcuteLatin1);
    EXPECT_EQ(process_stringConverter(dst, nullptr, sizeof(dst), "A", "A"), nullptr);
    EXPECT_EQ(process_stringConverter(nullptr, "a", sizeof(dst), "A", "A"), nullptr);
    EXPECT_EQ(process_stringConverter(dst, "a", 0, "A", "A"), nullptr);
}

TEST(StringConverter, ConvertsBetweenCodeSetsWithIconv)
{
    char dst[16];
    ASSERT_EQ(process_stringConverter(dst, eAcuteUtf8, sizeof(dst), "UTF-8", "ISO-8859-1"), dst);
    EXPECT_STREQ(dst, eAcuteLatin1);
    ASSERT_EQ(process_stringConverter(dst, eAcuteLatin1, sizeof(dst), nullptr, "UTF-8"), dst);
    EXPECT_STREQ(dst, eAcuteUtf8);
}

TEST(StringConverter, FailuresAnswerNullWithATerminatedBuffer)
{
    char dst[16];
    memset(dst, 'Z', sizeof(dst));
    // The euro sign has no ISO-8859-1 form.
    EXPECT_EQ(process_stringConverter(dst, euroUtf8, sizeof(dst), "UTF-8", "ISO-8859-1"), nullptr);
    EXPECT_NE(memchr(dst, '\0', sizeof(dst)), nullptr);

    EXPECT_EQ(process_stringConverter(dst, "abc", sizeof(dst), "UTF-8", "NO-SUCH-CODESET"), nullptr);

    // Too little room: what fits is kept, terminated at the last byte.
    char small[4];
    memset(small, 'Z', sizeof(small));
    EXPECT_EQ(process_stringConverter(small, "abcdef", sizeof(small), "UTF-8", "ISO-8859-1"), nullptr);
    EXPECT_EQ(small[3], '\0');
    EXPECT_STREQ(small, "abc");
}

TEST(CodeSet, EmptyOrMissingNameMeansLatin1)
{
    EXPECT_STREQ(process_codeSetOrDefault(""), "ISO8859-1");
    EXPECT_STREQ(process_codeSetOrDefault(nullptr), "ISO8859-1");
    EXPECT_STREQ(process_codeSetOrDefault("UTF-8"), "UTF-8");
}

TEST(CodeSet, CLocaleGoesOutUnchangedButComesInThroughIconv)
{
    LocaleScope scope("C");
    char dst[16];
    ASSERT_EQ(process_stringConverterToUTF8(dst, "plain", sizeof(dst)), dst);
    EXPECT_STREQ(dst, "plain");
    ASSERT_EQ(process_stringConverterFromUTF8(dst, "plain", sizeof(dst)), dst);
    EXPECT_STREQ(dst, "plain");
    // ASCII cannot hold an accented letter: the caller falls back to UTF-8.
    EXPECT_EQ(process_stringConverterFromUTF8(dst, eAcuteUtf8, sizeof(dst)), nullptr);
}

TEST(CodeSet, Utf8LocaleCopiesBothWays)
{
    LocaleScope scope("C.UTF-8");
    EXPECT_STREQ(process_getCodeSet(), "UTF-8");
    char dst[16];
    ASSERT_EQ(process_stringConverterToUTF8(dst, eAcuteUtf8, sizeof(dst)), dst);
    EXPECT_STREQ(dst, eAcuteUtf8);
    ASSERT_EQ(process_stringConverterFromUTF8(dst, eAcuteUtf8, sizeof(dst)), dst);
    EXPECT_STREQ(dst, eAcuteUtf8);
    char one[1] = {'Z'};
    ASSERT_EQ(process_stringConverterFromUTF8(one, eAcuteUtf8, 1), one);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(process_stringConverterToUTF8(nullptr, "a", 4), nullptr);
    EXPECT_EQ(process_stringConverterFromUTF8(dst, nullptr, 4), nullptr);
}

TEST(SystemErrorText, CopiesTheSystemsText)
{
    char buffer[256];
    ASSERT_EQ(process_strerror_r(ENOENT, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, strerror(ENOENT));
    ASSERT_EQ(process_strerror_r(99999, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "Unknown error 99999");
}

TEST(SystemErrorText, RefusesBuffersTooSmallAndLeavesThemAlone)
{
    char buffer[8] = "keep";
    errno = 0;
    EXPECT_EQ(process_strerror_r(ENOENT, buffer, sizeof(buffer)), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_STREQ(buffer, "keep");

    // Exactly the text's length is still too small: the terminator needs room.
    size_t length = strlen(strerror(EACCES));
    std::string exact(length, 'Z');
    EXPECT_EQ(process_strerror_r(EACCES, exact.data(), length), -1);
    std::string roomy(length + 1, 'Z');
    EXPECT_EQ(process_strerror_r(EACCES, roomy.data(), length + 1), 0);

    errno = 0;
    EXPECT_EQ(process_strerror_r(ENOENT, nullptr, 10), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(process_strerror_r(ENOENT, buffer, 0), -1);
}

TEST(ExceptionClass, CodesMapToTheirClasses)
{
    EXPECT_STREQ(process_exception_class(0), "com/qor/vt/process/exception/ProcessOpException");
    EXPECT_STREQ(process_exception_class(3), "com/qor/vt/process/exception/InvalidUsernameException");
    EXPECT_STREQ(process_exception_class(15), "com/qor/vt/process/exception/CreateProcessTimeoutException");
    EXPECT_STREQ(process_exception_class(16), "com/qor/vt/process/exception/ProcessOpException");
    EXPECT_STREQ(process_exception_class(0xFFFFFFFFU), "com/qor/vt/process/exception/ProcessOpException");
}

TEST(PointerConversion, RoundTripsAndKeepsNull)
{
    int record = 0;
    EXPECT_EQ(process_ConvertJlongToPointer(process_ConvertPointerTo64(&record)), &record);
    EXPECT_EQ(process_ConvertPointerTo64(nullptr), 0);
    EXPECT_EQ(process_ConvertJlongToPointer(0), nullptr);
    ReleaseCStrArray(nullptr);
}

} // namespace
