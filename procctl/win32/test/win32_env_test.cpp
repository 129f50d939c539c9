// Environment blocks and the EnvUtilGlue natives, against an environment the
// test sets up in its own process.
#include "com_qor_vt_process_EnvUtilGlue.h"
#include "common/test/test_jni_env.h"
#include "procctl/win32/test/win32_test_support.h"
#include "procctl/win32/win32_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> currentWideEntries()
{
    (void)_wgetenv(L"");
    std::vector<std::wstring> entries;
    for (wchar_t** entry = _wenviron; entry != nullptr && *entry != nullptr; entry++) {
        entries.emplace_back(*entry);
    }
    return entries;
}

void removeAllVariables()
{
    for (const std::wstring& entry : currentWideEntries()) {
        if (entry.empty() || entry[0] == L'=') {
            continue;
        }
        std::wstring name = entry.substr(0, entry.find(L'='));
        _wputenv((name + L"=").c_str());
    }
}

// The process environment holds exactly the given entries (besides the
// hidden "=" ones) while the object lives.
class EnvironmentScope {
  public:
    explicit EnvironmentScope(const std::vector<std::string>& entries) : saved_(currentWideEntries())
    {
        removeAllVariables();
        for (const std::string& entry : entries) {
            _putenv(entry.c_str());
        }
    }
    ~EnvironmentScope()
    {
        removeAllVariables();
        for (const std::wstring& entry : saved_) {
            if (!entry.empty() && entry[0] != L'=') {
                _wputenv(entry.c_str());
            }
        }
    }
    EnvironmentScope(const EnvironmentScope&) = delete;
    EnvironmentScope& operator=(const EnvironmentScope&) = delete;

  private:
    std::vector<std::wstring> saved_;
};

std::vector<std::string> entriesOf(const char* block)
{
    std::vector<std::string> entries;
    for (const char* entry = block; *entry != '\0'; entry += strlen(entry) + 1) {
        entries.emplace_back(entry);
    }
    return entries;
}

// The block generated for the request (NULL-terminated here).
std::vector<std::string> generate(std::vector<const char*> request)
{
    request.push_back(nullptr);
    char* block = nullptr;
    EXPECT_EQ(win32_GenerateEnvBlock(request.data(), &block), 1);
    EXPECT_NE(block, nullptr);
    if (block == nullptr) {
        return {};
    }
    std::vector<std::string> entries = entriesOf(block);
    // Two NULs end the block.
    size_t length = 0;
    for (const std::string& entry : entries) {
        length += entry.size() + 1;
    }
    EXPECT_EQ(block[length], '\0');
    win32_FreeEnvString(block);
    return entries;
}

using Entries = std::vector<std::string>;

TEST(EnvironmentBlock, NullRequestInheritsAndEmptyRequestGivesTheSortedEnvironment)
{
    EnvironmentScope scope({"b=2", "Path=C:\\Windows", "A=1", "c=3"});
    char* block = reinterpret_cast<char*>(1);
    EXPECT_EQ(win32_GenerateEnvBlock(nullptr, &block), 1);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(win32_GenerateEnvBlock(nullptr, nullptr), 0);

    // Sorted without regard to case; the hidden "=" entries are left out.
    EXPECT_EQ(generate({}), (Entries{"A=1", "b=2", "c=3", "Path=C:\\Windows"}));
}

TEST(EnvironmentBlock, PathIsMergedInFrontOfTheInheritedValue)
{
    EnvironmentScope scope({"Path=C:\\Windows", "TEMP=C:\\t"});
    EXPECT_EQ(generate({"path=D:\\tools"}), (Entries{"path=D:\\tools;C:\\Windows", "TEMP=C:\\t"}));
    // A value that already ends in ";" gets no second one; an empty value
    // still gets one.
    EXPECT_EQ(generate({"PATH=D:\\tools;"}), (Entries{"PATH=D:\\tools;C:\\Windows", "TEMP=C:\\t"}));
    EXPECT_EQ(generate({"PATH="}), (Entries{"PATH=;C:\\Windows", "TEMP=C:\\t"}));
    // Any other variable is replaced, whatever the case of its name.
    EXPECT_EQ(generate({"temp=D:\\x"}), (Entries{"Path=C:\\Windows", "temp=D:\\x"}));
}

TEST(EnvironmentBlock, NewVariablesComeAfterTheInheritedOnesInTheirOwnOrder)
{
    EnvironmentScope scope({"M=1", "N=2"});
    EXPECT_EQ(generate({"Z=26", "A=1"}), (Entries{"M=1", "N=2", "A=1", "Z=26"}));
}

TEST(EnvironmentBlock, RepeatedRequestsTheLaterInSortedOrderWins)
{
    EnvironmentScope scope({"PATH=S"});
    EXPECT_EQ(generate({"X=2", "X=1"}), (Entries{"PATH=S", "X=2"}));
    // For PATH the later value comes first, then the earlier, then the server's.
    EXPECT_EQ(generate({"PATH=b", "PATH=a"}), (Entries{"PATH=b;a;S"}));
}

TEST(EnvironmentBlock, EmptyServerEnvironmentStillGetsEveryRequestedEntry)
{
    EnvironmentScope scope({});
    EXPECT_EQ(generate({"B=2", "A=1", "PATH=x"}), (Entries{"A=1", "B=2", "PATH=x"}));
}

TEST(EnvironmentBlock, AnEmptyBlockStillEndsInTwoNuls)
{
    // No inherited and no requested variable: the block is empty, yet
    // CreateProcessA and EmitEnvironmentBlock read up to its second NUL.
    EnvironmentScope scope({});
    const char* request[] = {nullptr};
    char* block = nullptr;
    ASSERT_EQ(win32_GenerateEnvBlock(request, &block), 1);
    ASSERT_NE(block, nullptr);
    ASSERT_GE(_msize(block), 2u);
    EXPECT_EQ(block[0], '\0');
    EXPECT_EQ(block[1], '\0');
    win32_FreeEnvString(block);
}

TEST(EnvironmentBlock, MergeRefusesMissingArraysAndParentBlockSkipsHiddenEntries)
{
    const char* const mergeList[] = {"PATH", nullptr};
    char* request[] = {nullptr};
    char** merged = reinterpret_cast<char**>(1);
    EXPECT_EQ(MergeEnvironmentBlocks(request, nullptr, mergeList, &merged), 0);
    EXPECT_EQ(merged, nullptr);
    EXPECT_EQ(MergeEnvironmentBlocks(request, request, mergeList, nullptr), 0);

    EnvironmentScope scope({"Q=1"});
    char** parent = nullptr;
    ASSERT_EQ(ConstructParentEnvBlock(&parent), 1);
    std::vector<std::string> names;
    for (char** entry = parent; *entry != nullptr; entry++) {
        names.emplace_back(*entry);
    }
    FreeEnvironBlock(parent);
    EXPECT_EQ(names, (Entries{"Q=1"}));
}

TEST(EnvironmentBlock, EmitWritesEachEntryOnItsOwnLine)
{
    static const char block[] = "A=1\0B=2\0";
    EXPECT_EQ(win32test::captureStdout([] { EmitEnvironmentBlock(block); }), "A=1\nB=2\n");
    static const char empty[] = "\0";
    EXPECT_EQ(win32test::captureStdout([] { EmitEnvironmentBlock(empty); }), "\n");
    EXPECT_EQ(win32test::captureStdout([] { EmitEnvironmentBlock(nullptr); }), "");
}

TEST(EnvUtilGlue, GetenvReadsWideValuesAndGivesEmptyForNullOrUnset)
{
    std::string longName(8191, 'N');
    EnvironmentScope scope({"QOR_PLAIN=value", longName + "=long"});
    _wputenv(L"QOR_WIDE=caf\u00e9 \u20ac");
    TestJniEnv jni;
    auto getenv = [&](jstring name) {
        return jni.utf16(Java_com_qor_vt_process_EnvUtilGlue_native_1getenv(jni, nullptr, name));
    };
    EXPECT_EQ(getenv(jni.string("QOR_PLAIN")), u"value");
    EXPECT_EQ(getenv(jni.string(u"QOR_WIDE")), u"caf\u00e9 \u20ac");
    EXPECT_EQ(getenv(jni.string("qor_plain")), u"value");
    EXPECT_EQ(getenv(jni.string("QOR_UNSET")), u"");
    EXPECT_EQ(getenv(nullptr), u"");
    // A name is looked up by its first 8,191 characters.
    EXPECT_EQ(getenv(jni.string(longName + "MORE")), u"long");
    EXPECT_EQ(jni.unreleased(), 0);
    EXPECT_FALSE(jni.exceptionPending());
}

TEST(EnvUtilGlue, GetentireenvReturnsEveryEntry)
{
    TestJniEnv jni;
    {
        EnvironmentScope scope({"ONLY=1"});
        std::vector<std::string> expected;
        for (const std::wstring& entry : currentWideEntries()) {
            expected.push_back(jni.utf8(jni.string(std::u16string(entry.begin(), entry.end()))));
        }
        jobjectArray all = Java_com_qor_vt_process_EnvUtilGlue_native_1getentireenv(jni, nullptr);
        ASSERT_NE(all, nullptr);
        // One variable gives an array of one: the last entry is not dropped.
        EXPECT_EQ(jni.strings(all), expected);
        EXPECT_NE(std::find(expected.begin(), expected.end(), "ONLY=1"), expected.end());
    }
    {
        EnvironmentScope scope({"A=1", "B=2", "C=3"});
        std::vector<std::string> seen =
            jni.strings(Java_com_qor_vt_process_EnvUtilGlue_native_1getentireenv(jni, nullptr));
        for (const char* entry : {"A=1", "B=2", "C=3"}) {
            EXPECT_NE(std::find(seen.begin(), seen.end(), entry), seen.end()) << entry;
        }
    }
}

} // namespace
