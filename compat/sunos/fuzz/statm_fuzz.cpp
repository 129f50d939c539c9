// /proc/<pid>/stat and /proc/<pid>/statm of one process.
#include "compat/sunos/linux_parse.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    LinuxProcessStat stat{};
    if (parseProcessStat(text.c_str(), &stat) && strnlen(stat.comm, sizeof stat.comm) == sizeof stat.comm) {
        __builtin_trap(); // the command name must be terminated
    }
    uint64_t sizePages = 0;
    uint64_t residentPages = 0;
    parseStatm(text.c_str(), &sizePages, &residentPages);
    return 0;
}
