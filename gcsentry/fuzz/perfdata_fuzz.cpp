// libFuzzer harness for the performance-data parser. The input is taken as a
// whole block; every offset the parser answers must lie inside it, 8-aligned,
// and is read, so that AddressSanitizer sees any reach past the input.
//
// Seed corpus: corpus/, a real G1 block.
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
