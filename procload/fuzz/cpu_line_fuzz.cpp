// One line of /proc/stat as readCpuStats hands it over (at most 8191 bytes,
// terminated), and the same bytes as the name of a /proc entry.
#include "procload/linux/proc_stat.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string line(reinterpret_cast<const char*>(data), size < 8191 ? size : 8191);
    CpuStats stats;
    parseCpuStatsLine(line.c_str(), &stats);
    int32_t id = 0;
    procEntryId(line.c_str(), &id);
    return 0;
}
