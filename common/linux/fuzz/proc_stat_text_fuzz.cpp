// The stat file of a process or thread, as the reader hands it over (at most
// 4095 bytes, terminated), and the same bytes as a decimal number.
#include "common/linux/proc_stat_text.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size < PROC_STAT_READ_SIZE ? size : PROC_STAT_READ_SIZE);
    ProcStatFields fields{};
    int last = parseProcStatFields(text.c_str(), &fields);
    if (last < 0 || last > 22 || strnlen(fields.comm, sizeof fields.comm) == sizeof fields.comm) {
        __builtin_trap(); // a field number beyond the scan, or a name left unterminated
    }
    double decimal = 0.0;
    const char* end = parseDecimal(text.c_str(), &decimal);
    uint64_t whole = 0;
    const char* wholeEnd = parseUnsignedDecimal(text.c_str(), &whole);
    if ((end != nullptr && end > text.c_str() + text.size()) ||
        (wholeEnd != nullptr && wholeEnd > text.c_str() + text.size())) {
        __builtin_trap(); // read past the terminator
    }
    return 0;
}
