// /proc/cpuinfo: the clock of processors 0 to 3 (the live source asks for
// each online processor by number).
#include "compat/sunos/linux_parse.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    for (int processor = 0; processor < 4; processor++) {
        int mhz = 0;
        parseCpuinfoMhz(text.c_str(), processor, &mhz);
    }
    return 0;
}
