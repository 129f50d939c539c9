// The bytes that cross the pipe between the process-control library and
// process_spawner, little-endian and unpadded whatever the compiler's layout.
// Request: the handle of the library's process (valid in the spawner), the
// child's standard input, output and error handles (inheritable in the
// spawner, 0 for none), 8 bytes each; the creation flags and the length of
// the command line, 4 bytes each; then the command line without its
// terminator.  Reply: the child's process handle made valid in the library's
// process (8 bytes) and the child's id (4 bytes), or 0 and the Windows error
// code of the failed start.  No Windows header here: the layout is tested on
// any host.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SPAWNER_REQUEST_HEADER_SIZE = 40;
constexpr size_t SPAWNER_REPLY_SIZE = 12;

struct SpawnerRequest {
    uint64_t server;
    uint64_t streams[3]; // standard input, output, error
    uint32_t flags;
    uint32_t commandLength; // bytes of command line that follow the header
};

struct SpawnerReply {
    uint64_t child;
    uint32_t value; // the child's id, or the error code when child is 0
};

inline void spawner_putLittle(unsigned char* bytes, uint64_t value, size_t size)
{
    for (size_t i = 0; i < size; i++) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline uint64_t spawner_getLittle(const unsigned char* bytes, size_t size)
{
    uint64_t value = 0;
    for (size_t i = size; i > 0; i--) {
        value = (value << 8) | bytes[i - 1];
    }
    return value;
}

inline void spawner_putRequest(const SpawnerRequest& request, unsigned char (&header)[SPAWNER_REQUEST_HEADER_SIZE])
{
    spawner_putLittle(header, request.server, 8);
    for (size_t i = 0; i < 3; i++) {
        spawner_putLittle(header + 8 + 8 * i, request.streams[i], 8);
    }
    spawner_putLittle(header + 32, request.flags, 4);
    spawner_putLittle(header + 36, request.commandLength, 4);
}

inline SpawnerRequest spawner_getRequest(const unsigned char (&header)[SPAWNER_REQUEST_HEADER_SIZE])
{
    SpawnerRequest request{};
    request.server = spawner_getLittle(header, 8);
    for (size_t i = 0; i < 3; i++) {
        request.streams[i] = spawner_getLittle(header + 8 + 8 * i, 8);
    }
    request.flags = static_cast<uint32_t>(spawner_getLittle(header + 32, 4));
    request.commandLength = static_cast<uint32_t>(spawner_getLittle(header + 36, 4));
    return request;
}

inline void spawner_putReply(const SpawnerReply& reply, unsigned char (&bytes)[SPAWNER_REPLY_SIZE])
{
    spawner_putLittle(bytes, reply.child, 8);
    spawner_putLittle(bytes + 8, reply.value, 4);
}

inline SpawnerReply spawner_getReply(const unsigned char (&bytes)[SPAWNER_REPLY_SIZE])
{
    return SpawnerReply{spawner_getLittle(bytes, 8), static_cast<uint32_t>(spawner_getLittle(bytes + 8, 4))};
}
