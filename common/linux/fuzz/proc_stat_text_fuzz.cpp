// The stat file of a process or thread, as readStatFile hands it over (at most
// 4095 bytes, terminated), and the name of a /proc entry.
#include "procload/linux/proc_stat.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size < 4095 ? size : 4095);
    ProcStatRecord record{};
    ProcStatExtras extras{};
    parseStatText(text.c_str(), &record, &extras);
    parseStatText(text.c_str(), &record, nullptr);
    int32_t id = 0;
    procEntryId(text.c_str(), &id);
    return 0;
}
