// Reading the launch request from the pipe: whole reads and little-endian
// fields, shared by process_spawner and the tests' stand-in for it.
#pragma once

#include "common/win32.h"

#include <cstdint>

inline bool readFully(HANDLE pipe, void* buffer, DWORD size)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD done = 0;
    while (done < size) {
        DWORD moved = 0;
        if (!ReadFile(pipe, bytes + done, size - done, &moved, nullptr) || moved == 0) {
            return false;
        }
        done += moved;
    }
    return true;
}

inline uint64_t little(const unsigned char* bytes, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; i--) {
        value = (value << 8) | bytes[i];
    }
    return value;
}
