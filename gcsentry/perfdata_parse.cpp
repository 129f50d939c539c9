// The parser of the performance-data layout (see perfdata.h): a pure function
// on a buffer, also called by the tests and the fuzz harness.
//
// Every field is copied out of the block once and checked as a local value,
// never read again: the live block belongs to the virtual machine, which may
// append an entry while we walk the chain.
#include "gcsentry/perfdata.h"

#include <bit>
#include <cstring>

namespace {

constexpr std::size_t PROLOGUE_SIZE = 32;
constexpr std::size_t ENTRY_HEADER_SIZE = 20;
constexpr unsigned char MAGIC[4] = {0xca, 0xfe, 0xc0, 0xc0};
constexpr unsigned char NATIVE_BYTE_ORDER = std::endian::native == std::endian::little ? 1 : 0;
constexpr unsigned char MAJOR_VERSION = 2;
constexpr unsigned char TYPE_LONG = 'J';
constexpr unsigned char UNITS_BYTES = 2;

std::int32_t int32At(const unsigned char* at)
{
    std::int32_t value;
    memcpy(&value, at, sizeof(value));
    return value;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Steps over "<digits>" (one to nine of them) followed by suffix.
const char* number(const char* at, const char* suffix)
{
    int digits = 0;
    while (isDigit(*at) && digits < 10) {
        at++;
        digits++;
    }
    std::size_t n = strlen(suffix);
    if (digits == 0 || digits > 9 || strncmp(at, suffix, n) != 0) {
        return nullptr;
    }
    return at + n;
}

// "sun.gc.generation.<g>.space.<s>.used", exactly.
bool isSpaceUsedName(const char* name)
{
    static const char PREFIX[] = "sun.gc.generation.";
    if (strncmp(name, PREFIX, sizeof(PREFIX) - 1) != 0) {
        return false;
    }
    const char* at = number(name + sizeof(PREFIX) - 1, ".space.");
    at = at != nullptr ? number(at, ".used") : nullptr;
    return at != nullptr && *at == '\0';
}

} // namespace

int perfdata_findHeapSpaces(const unsigned char* block, std::size_t length, PerfDataSpaces* spaces)
{
    spaces->count = 0;
    if (block == nullptr || length < PROLOGUE_SIZE) {
        return PERFDATA_TOO_SHORT;
    }
    if (memcmp(block, MAGIC, sizeof(MAGIC)) != 0) {
        return PERFDATA_BAD_MAGIC;
    }
    if (block[4] != NATIVE_BYTE_ORDER || block[5] != MAJOR_VERSION) {
        return PERFDATA_UNSUPPORTED;
    }
    if (block[7] != 1) {
        return PERFDATA_NOT_ACCESSIBLE;
    }
    const std::int32_t used = int32At(block + 8);
    const std::int32_t overflow = int32At(block + 12);
    const std::int32_t entryOffset = int32At(block + 24);
    const std::int32_t entryCount = int32At(block + 28);
    if (used < static_cast<std::int32_t>(PROLOGUE_SIZE) || entryOffset < static_cast<std::int32_t>(PROLOGUE_SIZE) ||
        entryCount < 0) {
        return PERFDATA_BAD_PROLOGUE;
    }
    // A block too small for every counter (-XX:PerfDataMemorySize) lists only
    // those that fit; a sum without the spaces left out would be wrong.
    if (overflow != 0) {
        return PERFDATA_INCOMPLETE;
    }
    // Only the bytes in use hold entries; a copy cut short holds fewer.
    const std::size_t limit = static_cast<std::size_t>(used) < length ? static_cast<std::size_t>(used) : length;
    if (static_cast<std::size_t>(entryOffset) > limit) {
        return PERFDATA_BAD_PROLOGUE;
    }

    PerfDataSpaces found{};
    std::size_t at = static_cast<std::size_t>(entryOffset);
    for (std::int32_t i = 0; i < entryCount; i++) {
        // Each entry is checked against the room left, so no sum below can overflow.
        const std::size_t room = limit - at;
        if (room < ENTRY_HEADER_SIZE) {
            return PERFDATA_BAD_ENTRY;
        }
        const unsigned char* entry = block + at;
        const std::int32_t entryLength = int32At(entry);
        const std::int32_t nameOffset = int32At(entry + 4);
        const std::int32_t vectorLength = int32At(entry + 8);
        const unsigned char dataType = entry[12];
        const unsigned char units = entry[14];
        const std::int32_t dataOffset = int32At(entry + 16);
        if (entryLength < static_cast<std::int32_t>(ENTRY_HEADER_SIZE) ||
            static_cast<std::size_t>(entryLength) > room || nameOffset < static_cast<std::int32_t>(ENTRY_HEADER_SIZE) ||
            nameOffset >= entryLength) {
            return PERFDATA_BAD_ENTRY;
        }
        // The name is a copy, so that it cannot change while it is compared.
        char name[128];
        const std::size_t nameRoom = static_cast<std::size_t>(entryLength - nameOffset);
        const std::size_t copied = nameRoom < sizeof(name) ? nameRoom : sizeof(name);
        memcpy(name, entry + nameOffset, copied);
        if (memchr(name, '\0', copied) == nullptr) {
            if (copied < sizeof(name)) {
                return PERFDATA_BAD_ENTRY; // the name runs past its entry
            }
            name[sizeof(name) - 1] = '\0'; // longer than any name we look for
        }
        if (isSpaceUsedName(name)) {
            const std::size_t dataAt = at + static_cast<std::size_t>(dataOffset);
            if (dataType != TYPE_LONG || vectorLength != 0 || units != UNITS_BYTES ||
                dataOffset < static_cast<std::int32_t>(ENTRY_HEADER_SIZE) ||
                dataOffset > entryLength - static_cast<std::int32_t>(sizeof(std::int64_t)) || dataAt % 8 != 0) {
                return PERFDATA_BAD_COUNTER;
            }
            if (found.count == PERFDATA_MAX_SPACES) {
                return PERFDATA_TOO_MANY_SPACES;
            }
            found.usedOffset[found.count++] = dataAt;
        }
        at += static_cast<std::size_t>(entryLength);
    }
    if (found.count == 0) {
        return PERFDATA_NO_SPACES;
    }
    *spaces = found;
    return PERFDATA_OK;
}
