// Environment keys and the additive merge.
#include "procctl/process_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string keyOf(const char* entry, size_t size)
{
    std::string buffer(size + 1, 'Z');
    GetKey(entry, buffer.data(), size);
    return std::string(buffer.c_str());
}

TEST(GetKey, TakesTheTextBeforeTheFirstEquals)
{
    EXPECT_EQ(keyOf("PATH=/bin=x", 1024), "PATH");
    EXPECT_EQ(keyOf("NOVALUE", 1024), "NOVALUE");
    EXPECT_EQ(keyOf("=starts", 1024), "");
    EXPECT_EQ(keyOf("", 1024), "");
}

TEST(GetKey, KeepsAtMostSizeMinusTwoCharacters)
{
    EXPECT_EQ(keyOf("ABCDEF=1", 5), "ABC");
    EXPECT_EQ(keyOf("ABCDEF=1", 2), "");
    EXPECT_EQ(keyOf("ABCDEF=1", 1), "");
    std::string longKey(2000, 'K');
    EXPECT_EQ(keyOf(longKey.c_str(), 1024).size(), 1022U);

    // Size 0 and a null entry leave the buffer alone.
    char buffer[4] = "old";
    GetKey("NEW=1", buffer, 0);
    EXPECT_STREQ(buffer, "old");
    GetKey(nullptr, buffer, sizeof(buffer));
    EXPECT_STREQ(buffer, "old");
}

TEST(TestKeys, ComparesKeysIgnoringCase)
{
    EXPECT_EQ(TestKeys("PATH=/a", "path=/b"), 0);
    EXPECT_EQ(TestKeys("PATH", "PATH=/x"), 0);
    EXPECT_NE(TestKeys("PATH=/a", "PATHX=/a"), 0);
    EXPECT_EQ(TestKeys(nullptr, nullptr), 0);
    EXPECT_EQ(TestKeys(nullptr, "A=1"), 1);
    EXPECT_EQ(TestKeys("A=1", nullptr), -1);
}

TEST(TestKeys, ComparesOnlyTheFirst1022Characters)
{
    std::string a = std::string(1022, 'k') + "A=1";
    std::string b = std::string(1022, 'K') + "B=2";
    EXPECT_EQ(TestKeys(a.c_str(), b.c_str()), 0);
    std::string c = std::string(1021, 'k') + "C=3";
    EXPECT_NE(TestKeys(a.c_str(), c.c_str()), 0);
}

struct Merged {
    int result;
    std::string entry;
    bool present;
};

Merged merge(const char* key, char** l1, char** l2, char** l3)
{
    char* out = reinterpret_cast<char*>(1);
    int result = GenerateAdditiveString(key, l1, l2, l3, &out);
    Merged m{result, out != nullptr ? out : "", out != nullptr};
    free(out);
    return m;
}

TEST(GenerateAdditiveString, PutsTheRequestedValueInFront)
{
    char* requested[] = {const_cast<char*>("PATH=/new"), nullptr};
    char* inherited[] = {const_cast<char*>("HOME=/h"), const_cast<char*>("PATH=/old"), nullptr};
    Merged m = merge("PATH", requested, inherited, nullptr);
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.entry, "PATH=/new:/old");
}

TEST(GenerateAdditiveString, NothingToMergeUnlessTwoListsHaveTheKey)
{
    char* other[] = {const_cast<char*>("X=1"), nullptr};
    char* inherited[] = {const_cast<char*>("HOME=/h"), const_cast<char*>("PATH=/old"), nullptr};
    char* empty[] = {nullptr};
    Merged m = merge("PATH", other, inherited, nullptr);
    EXPECT_EQ(m.result, 1);
    EXPECT_FALSE(m.present);
    m = merge("PATH", empty, inherited, empty);
    EXPECT_EQ(m.result, 1);
    EXPECT_FALSE(m.present);
    EXPECT_EQ(GenerateAdditiveString("PATH", inherited, inherited, nullptr, nullptr), 0);
}

// An empty element means "the current directory": the merge never makes one.
TEST(GenerateAdditiveString, NeverMakesAnEmptyElement)
{
    struct Case {
        const char* requested;
        const char* inherited;
        const char* merged; // null: nothing to merge
    } cases[] = {
        {"PATH", "PATH=/old", "PATH=/old"},  {"PATH=", "PATH=/old", "PATH=/old"},
        {"PATH=/new", "PATH=", "PATH=/new"}, {"PATH=/a::/b:", "PATH=:/old:", "PATH=/a:/b:/old"},
        {"PATH=:", "PATH=", nullptr},
    };
    for (const Case& c : cases) {
        char* requested[] = {const_cast<char*>(c.requested), nullptr};
        char* inherited[] = {const_cast<char*>(c.inherited), nullptr};
        Merged m = merge("PATH", requested, inherited, nullptr);
        EXPECT_EQ(m.result, 1);
        EXPECT_EQ(m.present, c.merged != nullptr) << c.requested << " + " << c.inherited;
        EXPECT_EQ(m.entry, c.merged != nullptr ? c.merged : "") << c.requested << " + " << c.inherited;
    }
}

TEST(GenerateAdditiveString, ThreeListsInOrderMatchedIgnoringCase)
{
    char* first[] = {const_cast<char*>("classpath=/a.jar"), nullptr};
    char* second[] = {const_cast<char*>("ClassPath=/b.jar"), const_cast<char*>("CLASSPATH=/ignored"), nullptr};
    char* third[] = {const_cast<char*>("CLASSPATH="), nullptr};
    EXPECT_EQ(merge("CLASSPATH", first, second, third).entry, "CLASSPATH=/a.jar:/b.jar");
}

TEST(GenerateAdditiveString, LongValuesAreSizedExactly)
{
    std::string a = "LD_LIBRARY_PATH=" + std::string(5000, 'a');
    std::string b = "ld_library_path=" + std::string(7000, 'b');
    char* l1[] = {a.data(), nullptr};
    char* l2[] = {b.data(), nullptr};
    Merged m = merge("LD_LIBRARY_PATH", l1, l2, nullptr);
    EXPECT_EQ(m.entry, "LD_LIBRARY_PATH=" + std::string(5000, 'a') + ":" + std::string(7000, 'b'));
}

} // namespace
