// process_spawner: starts one program on behalf of the process-control
// library and hands the child's handle back to it.
//
// Usage: process_spawner <pipe name>
//
// The library starts this program with the environment and the working
// directory the child is to have, and waits on the named pipe for it.  The
// request and the reply are laid out as spawner_layout.h says.
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
    unsigned char reply[SPAWNER_REPLY_SIZE];
    spawner_putReply(SpawnerReply{handle, value}, reply);
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

    unsigned char header[SPAWNER_REQUEST_HEADER_SIZE];
    if (!readFully(pipe.get(), header, sizeof(header))) {
        return 1;
    }
    SpawnerRequest request = spawner_getRequest(header);
    unique_handle server(asHandle(request.server));
    HANDLE streams[3] = {asHandle(request.streams[0]), asHandle(request.streams[1]), asHandle(request.streams[2])};
    DWORD flags = request.flags;
    DWORD length = request.commandLength;
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
