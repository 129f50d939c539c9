// /proc/stat: the per-processor lines into a table of four, and the boot time.
#include "compat/sunos/linux_parse.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    LinuxCpuTicks cpus[4];
    if (parseProcStatCpus(text.c_str(), cpus, 4) > 4) {
        __builtin_trap(); // more than the room
    }
    uint64_t seconds = 0;
    parseProcStatBtime(text.c_str(), &seconds);
    return 0;
}
