// Reading the launch request from the pipe in whole reads, shared by
// process_spawner and the tests' stand-in for it; the bytes are laid out as
// spawner_layout.h says.
#pragma once

#include "common/win32.h"
#include "spawner/spawner_layout.h"

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
