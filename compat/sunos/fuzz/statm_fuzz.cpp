// /proc/<pid>/statm of one process.
#include "compat/sunos/linux_parse.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    uint64_t sizePages = 0;
    uint64_t residentPages = 0;
    parseStatm(text.c_str(), &sizePages, &residentPages);
    return 0;
}
