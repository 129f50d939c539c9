// A request as the spawner reads it (header, then as much command line as the
// header announces and arrived) and a reply as the library reads it; what
// is decoded must encode to the same bytes.
#include "spawner/spawner_layout.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= SPAWNER_REQUEST_HEADER_SIZE) {
        unsigned char header[SPAWNER_REQUEST_HEADER_SIZE];
        memcpy(header, data, sizeof header);
        SpawnerRequest request = spawner_getRequest(header);
        size_t rest = size - sizeof header;
        std::string commandLine(reinterpret_cast<const char*>(data) + sizeof header,
                                request.commandLength < rest ? request.commandLength : rest);
        unsigned char again[SPAWNER_REQUEST_HEADER_SIZE];
        spawner_putRequest(request, again);
        if (memcmp(header, again, sizeof header) != 0) {
            __builtin_trap();
        }
    }
    if (size >= SPAWNER_REPLY_SIZE) {
        unsigned char bytes[SPAWNER_REPLY_SIZE];
        memcpy(bytes, data + size - sizeof bytes, sizeof bytes);
        unsigned char again[SPAWNER_REPLY_SIZE];
        spawner_putReply(spawner_getReply(bytes), again);
        if (memcmp(bytes, again, sizeof bytes) != 0) {
            __builtin_trap();
        }
    }
    return 0;
}
