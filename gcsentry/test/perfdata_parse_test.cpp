// The performance-data parser over a real block (a G1 virtual machine's
// /tmp/hsperfdata_<user>/<pid>, cut at its bytes in use) and over copies of it
// that are cut short or damaged. Every copy lives in a heap buffer of exactly
// its length, so that the sanitizer build catches a read past it.
#include "gcsentry/perfdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Block = std::vector<unsigned char>;

Block fixture()
{
    std::ifstream in(GCSENTRY_FIXTURE_DIR "/hsperfdata_g1.bin", std::ios::binary);
    return Block(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What jcmd PerfCounter.print listed for the captured virtual machine, in the
// order of its entries: old space, eden, survivor s0, survivor s1.
const std::int64_t FIXTURE_USED[] = {970752, 1048576, 0, 718816};

std::int64_t int64At(const Block& block, std::size_t offset)
{
    std::int64_t value;
    memcpy(&value, block.data() + offset, sizeof(value));
    return value;
}

void putInt32(Block& block, std::size_t offset, std::int32_t value)
{
    memcpy(block.data() + offset, &value, sizeof(value));
}

// The start of the entry with this name (HotSpot writes each name right after
// the 20-byte entry header).
std::size_t entryNamed(const Block& block, const std::string& name)
{
    const char* wanted = name.c_str();
    auto at = std::search(block.begin(), block.end(), wanted, wanted + name.size() + 1);
    EXPECT_NE(at, block.end()) << name;
    return static_cast<std::size_t>(at - block.begin()) - 20;
}

std::vector<std::int64_t> usedValues(const Block& block, const PerfDataSpaces& spaces)
{
    std::vector<std::int64_t> values;
    for (int i = 0; i < spaces.count; i++) {
        values.push_back(int64At(block, spaces.usedOffset[i]));
    }
    return values;
}

const std::vector<std::int64_t> ALL_FOUR(std::begin(FIXTURE_USED), std::end(FIXTURE_USED));

TEST(PerfDataParse, FindsEverySpaceOfARealBlock)
{
    Block block = fixture();
    ASSERT_EQ(block.size(), 12368U);
    PerfDataSpaces spaces{};
    ASSERT_EQ(perfdata_findHeapSpaces(block.data(), block.size(), &spaces), PERFDATA_OK);
    EXPECT_EQ(usedValues(block, spaces), ALL_FOUR);
    for (int i = 0; i < spaces.count; i++) {
        EXPECT_EQ(spaces.usedOffset[i] % 8, 0U);
    }

    // The whole mapping: the unused rest of it is not read as entries.
    Block mapped = block;
    mapped.resize(32768, 0xff);
    PerfDataSpaces again{};
    ASSERT_EQ(perfdata_findHeapSpaces(mapped.data(), mapped.size(), &again), PERFDATA_OK);
    EXPECT_EQ(usedValues(mapped, again), ALL_FOUR);
}

TEST(PerfDataParse, ABlockCutShortIsRefusedAtEveryLength)
{
    const Block block = fixture();
    for (std::size_t length = 0; length < block.size(); length++) {
        Block cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length));
        PerfDataSpaces spaces{};
        spaces.count = 99;
        ASSERT_NE(perfdata_findHeapSpaces(cut.data(), cut.size(), &spaces), PERFDATA_OK) << length;
        ASSERT_EQ(spaces.count, 0) << length;
    }
}

// One damage to the block and what the parser answers.
struct Damage {
    const char* what;
    std::function<void(Block&)> apply;
    int result;
    std::vector<std::int64_t> used; // on PERFDATA_OK
};

// Renames the first n of the generations' and spaces' capacity counters to
// space used counters of generation 7: each is a 64-bit value in bytes.
void renameCapacities(Block& block, int n)
{
    static const char* const SUFFIXES[] = {"minCapacity", "maxCapacity", "capacity", "initCapacity"};
    int renamed = 0;
    for (int g = 0; g < 2; g++) {
        for (int s = -1; s < 3; s++) {
            for (const char* suffix : SUFFIXES) {
                std::string name = "sun.gc.generation." + std::to_string(g) + "." +
                                   (s < 0 ? "" : "space." + std::to_string(s) + ".") + suffix;
                const char* wanted = name.c_str();
                auto at = std::search(block.begin(), block.end(), wanted, wanted + name.size() + 1);
                if (at == block.end() || renamed == n) {
                    continue;
                }
                std::string used = "sun.gc.generation.7.space." + std::to_string(renamed++) + ".used";
                std::copy(used.c_str(), used.c_str() + used.size() + 1, at);
            }
        }
    }
    ASSERT_EQ(renamed, n);
}

const std::size_t OLD_USED_ENTRY = 6296; // sun.gc.generation.1.space.0.used
const std::vector<std::int64_t> WITHOUT_OLD(ALL_FOUR.begin() + 1, ALL_FOUR.end());

const Damage DAMAGES[] = {
    {"magic", [](Block& b) { b[1] = 0xfd; }, PERFDATA_BAD_MAGIC, {}},
    {"big-endian block", [](Block& b) { b[4] = 0; }, PERFDATA_UNSUPPORTED, {}},
    {"major version 1", [](Block& b) { b[5] = 1; }, PERFDATA_UNSUPPORTED, {}},
    {"not yet accessible", [](Block& b) { b[7] = 0; }, PERFDATA_NOT_ACCESSIBLE, {}},
    {"bytes in use inside the prologue", [](Block& b) { putInt32(b, 8, 31); }, PERFDATA_BAD_PROLOGUE, {}},
    {"bytes in use negative", [](Block& b) { putInt32(b, 8, -1); }, PERFDATA_BAD_PROLOGUE, {}},
    {"counters kept outside the block", [](Block& b) { putInt32(b, 12, 3880); }, PERFDATA_INCOMPLETE, {}},
    {"bytes in use end before the last entry", [](Block& b) { putInt32(b, 8, 12000); }, PERFDATA_BAD_ENTRY, {}},
    {"bytes in use beyond the block", [](Block& b) { putInt32(b, 8, 0x7fffffff); }, PERFDATA_OK, ALL_FOUR},
    {"entries inside the prologue", [](Block& b) { putInt32(b, 24, 16); }, PERFDATA_BAD_PROLOGUE, {}},
    {"entries beyond the block", [](Block& b) { putInt32(b, 24, 0x7ffffff0); }, PERFDATA_BAD_PROLOGUE, {}},
    {"entry count negative", [](Block& b) { putInt32(b, 28, -2); }, PERFDATA_BAD_PROLOGUE, {}},
    {"no entries", [](Block& b) { putInt32(b, 28, 0); }, PERFDATA_NO_SPACES, {}},
    {"one entry more than written", [](Block& b) { putInt32(b, 28, 188); }, PERFDATA_BAD_ENTRY, {}},
    {"entry count at its largest", [](Block& b) { putInt32(b, 28, 0x7fffffff); }, PERFDATA_BAD_ENTRY, {}},
    {"the chain ends before the spaces", [](Block& b) { putInt32(b, 28, 100); }, PERFDATA_NO_SPACES, {}},
    {"entry length 0", [](Block& b) { putInt32(b, 32, 0); }, PERFDATA_BAD_ENTRY, {}},
    {"entry length shorter than a header", [](Block& b) { putInt32(b, 32, 19); }, PERFDATA_BAD_ENTRY, {}},
    {"entry length negative", [](Block& b) { putInt32(b, 32, -56); }, PERFDATA_BAD_ENTRY, {}},
    {"entry length past the block", [](Block& b) { putInt32(b, 32, 0x7fffff00); }, PERFDATA_BAD_ENTRY, {}},
    {"name inside the header", [](Block& b) { putInt32(b, OLD_USED_ENTRY + 4, 4); }, PERFDATA_BAD_ENTRY, {}},
    {"name past its entry", [](Block& b) { putInt32(b, OLD_USED_ENTRY + 4, 64); }, PERFDATA_BAD_ENTRY, {}},
    {"name without its end in the entry",
     [](Block& b) { std::fill(b.begin() + OLD_USED_ENTRY + 20, b.begin() + OLD_USED_ENTRY + 64, 'x'); },
     PERFDATA_BAD_ENTRY,
     {}},
    {"used counter of a vector", [](Block& b) { putInt32(b, OLD_USED_ENTRY + 8, 1); }, PERFDATA_BAD_COUNTER, {}},
    {"used counter of bytes", [](Block& b) { b[OLD_USED_ENTRY + 12] = 'B'; }, PERFDATA_BAD_COUNTER, {}},
    {"used counter counting events", [](Block& b) { b[OLD_USED_ENTRY + 14] = 4; }, PERFDATA_BAD_COUNTER, {}},
    {"used counter not aligned", [](Block& b) { putInt32(b, OLD_USED_ENTRY + 16, 52); }, PERFDATA_BAD_COUNTER, {}},
    {"used counter past its entry", [](Block& b) { putInt32(b, OLD_USED_ENTRY + 16, 64); }, PERFDATA_BAD_COUNTER, {}},
    {"used counter in the header", [](Block& b) { putInt32(b, OLD_USED_ENTRY + 16, 8); }, PERFDATA_BAD_COUNTER, {}},
    {"used counter negative offset", [](Block& b) { putInt32(b, OLD_USED_ENTRY + 16, -8); }, PERFDATA_BAD_COUNTER, {}},
    // Names that only look like a space's used counter are left alone.
    {"generation not a number", [](Block& b) { b[OLD_USED_ENTRY + 20 + 18] = 'x'; }, PERFDATA_OK, WITHOUT_OLD},
    {"space number of ten digits",
     [](Block& b) {
         const char name[] = "sun.gc.generation.1.space.0123456789.used";
         std::copy(name, name + sizeof(name), b.begin() + OLD_USED_ENTRY + 20);
         putInt32(b, OLD_USED_ENTRY + 16, 64);
         putInt32(b, OLD_USED_ENTRY, 72);
         b.insert(b.begin() + OLD_USED_ENTRY + 64, 8, 0);
         putInt32(b, 8, static_cast<std::int32_t>(b.size()));
     },
     PERFDATA_OK, WITHOUT_OLD},
    {"used with a suffix", [](Block& b) { b[OLD_USED_ENTRY + 20 + 32] = 's'; }, PERFDATA_OK, WITHOUT_OLD},
    {"sixteen spaces", [](Block& b) { renameCapacities(b, 12); }, PERFDATA_OK, {}},
    {"seventeen spaces", [](Block& b) { renameCapacities(b, 13); }, PERFDATA_TOO_MANY_SPACES, {}},
};

void PrintTo(const Damage& damage, std::ostream* os)
{
    *os << damage.what;
}

class PerfDataDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(PerfDataDamage, IsAnsweredWithoutReadingOutsideTheBlock)
{
    const Damage& damage = GetParam();
    Block block = fixture();
    ASSERT_EQ(entryNamed(block, "sun.gc.generation.1.space.0.used"), OLD_USED_ENTRY);
    damage.apply(block);
    Block exact(block); // of exactly the damaged length
    PerfDataSpaces spaces{};
    spaces.count = 99;
    EXPECT_EQ(perfdata_findHeapSpaces(exact.data(), exact.size(), &spaces), damage.result);
    if (damage.result != PERFDATA_OK) {
        EXPECT_EQ(spaces.count, 0);
    } else if (!damage.used.empty()) {
        EXPECT_EQ(usedValues(exact, spaces), damage.used);
    } else {
        EXPECT_EQ(spaces.count, PERFDATA_MAX_SPACES);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PerfDataDamage, ::testing::ValuesIn(DAMAGES),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                             std::string name;
                             for (const char* c = info.param.what; *c != '\0'; c++) {
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

TEST(PerfDataParse, NoSingleByteChangeMakesItReadOutsideTheBlock)
{
    const Block original = fixture();
    Block block = original;
    for (std::size_t at = 0; at < block.size(); at++) {
        for (unsigned char value : {0x00, 0x7f, 0xff}) {
            block[at] = value;
            PerfDataSpaces spaces{};
            if (perfdata_findHeapSpaces(block.data(), block.size(), &spaces) == PERFDATA_OK) {
                ASSERT_GT(spaces.count, 0);
                ASSERT_LE(spaces.count, PERFDATA_MAX_SPACES);
                for (int i = 0; i < spaces.count; i++) {
                    ASSERT_EQ(spaces.usedOffset[i] % 8, 0U) << at;
                    ASSERT_LE(spaces.usedOffset[i] + 8, block.size()) << at;
                }
            }
        }
        block[at] = original[at];
    }
}

} // namespace
