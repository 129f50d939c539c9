// process_spawner: starts one program on behalf of the process-control
// library and hands the child's handle back to it.
//
// Usage: process_spawner <pipe name>
//
// The library starts this program with the environment and the working
// directory the child is to have, and waits on the named pipe for it.  The
// request read from the pipe holds, little-endian and unpadded: the handle of
// the library's process (valid here), the child's standard input, output and
// error handles (inheritable here, 0 for none), all 8 bytes wide; the
// creation flags and the length of the command line, 4 bytes each; then the
// command line without its terminator.  The reply is the child's process
// handle made valid in the library's process (8 bytes) and the child's id
// (4 bytes), or 0 and the Windows error code of the failed start.
#include "common/win32.h"
#include "spawner/spawner_wire.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

HANDLE asHandle(uint64_t value)
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)); // NOLINT(performance-no-int-to-ptr)
}

bool writeReply(HANDLE pipe, uint64_t handle, DWORD value)
{
    unsigned char reply[12];
    for (int i = 0; i < 8; i++) {
        reply[i] = static_cast<unsigned char>(handle >> (8 * i));
    }
    for (int i = 0; i < 4; i++) {
        reply[8 + i] = static_cast<unsigned char>(value >> (8 * i));
    }
    DWORD written = 0;
    return WriteFile(pipe, reply, sizeof(reply), &written, nullptr) && written == sizeof(reply);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: process_spawner <pipe name>\n");
        return 2;
    }
    std::vector<char> pipeName(strlen(argv[1]) + 16);
    snprintf(pipeName.data(), pipeName.size(), "\\\\.\\pipe\\%s", argv[1]);
    unique_file_handle pipe(
        CreateFileA(pipeName.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) {
        return 1;
    }

    unsigned char header[40];
    if (!readFully(pipe.get(), header, sizeof(header))) {
        return 1;
    }
    unique_handle server(asHandle(little(header, 8)));
    HANDLE streams[3] = {asHandle(little(header + 8, 8)), asHandle(little(header + 16, 8)),
                         asHandle(little(header + 24, 8))};
    auto flags = static_cast<DWORD>(little(header + 32, 4));
    auto length = static_cast<DWORD>(little(header + 36, 4));
    std::vector<char> commandLine(static_cast<size_t>(length) + 1, '\0');
    if (length > 0 && !readFully(pipe.get(), commandLine.data(), length)) {
        return 1;
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = streams[0];
    startup.hStdOutput = streams[1];
    startup.hStdError = streams[2];
    PROCESS_INFORMATION info = {};
    // The child inherits this program's environment and working directory,
    // which the library prepared for it.
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                        &info)) {
        DWORD error = GetLastError();
        return writeReply(pipe.get(), 0, error != 0 ? error : ERROR_INVALID_FUNCTION) ? 0 : 1;
    }
    CloseHandle(info.hThread);
    unique_handle child(info.hProcess);

    HANDLE childThere = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), child.get(), server.get(), &childThere, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        // The child runs, but the library could never control it: end it
        // rather than leave a process nobody owns.
        DWORD error = GetLastError();
        TerminateProcess(child.get(), 1);
        return writeReply(pipe.get(), 0, error) ? 0 : 1;
    }
    return writeReply(pipe.get(), reinterpret_cast<uintptr_t>(childThere), info.dwProcessId) ? 0 : 1;
}
