// libFuzzer harness for the performance-data parser. The input is taken as a
// whole block; every offset the parser answers must lie inside it, 8-aligned,
// and is read, so that AddressSanitizer sees any reach past the input.
//
// Seed: gcsentry/test/fixtures/hsperfdata_g1.bin. By hand:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//     gcsentry/fuzz/perfdata_fuzz.cpp gcsentry/perfdata_parse.cpp -o perfdata_fuzz
//   mkdir -p corpus && cp gcsentry/test/fixtures/hsperfdata_g1.bin corpus/
//   ./perfdata_fuzz corpus -max_total_time=300
#include "gcsentry/perfdata.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static volatile std::uint64_t sink;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    PerfDataSpaces spaces{};
    if (perfdata_findHeapSpaces(data, size, &spaces) != PERFDATA_OK) {
        if (spaces.count != 0) {
            abort();
        }
        return 0;
    }
    if (spaces.count < 1 || spaces.count > PERFDATA_MAX_SPACES) {
        abort();
    }
    std::uint64_t sum = 0;
    for (int i = 0; i < spaces.count; i++) {
        if (spaces.usedOffset[i] % 8 != 0 || spaces.usedOffset[i] > size || size - spaces.usedOffset[i] < 8) {
            abort();
        }
        std::uint64_t value;
        memcpy(&value, data + spaces.usedOffset[i], sizeof(value));
        sum += value;
    }
    sink = sum; // keeps the reads
    return 0;
}
