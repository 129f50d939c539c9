// /proc/meminfo: the keys the live source reads.
#include "compat/sunos/linux_parse.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"MemTotal", "MemFree", "MemAvailable"}) {
        uint64_t kb = 0;
        parseMeminfoKb(text.c_str(), key, &kb);
    }
    uint64_t freeKb = 0;
    parseMeminfoFreeKb(text.c_str(), &freeKb);
    return 0;
}
