// A stand-in for process_spawner that starts nothing: it writes what it
// received to the file named by QOR_SPAWNER_RECORD (which it finds in the
// environment the library generated for it) and answers with a failed
// launch, error 1234 (with a handle of 0, or of the invalid-handle value).  The launch tests use it to check the
// request byte by byte, and how the library reads a failure reply.
#include "common/win32.h"
#include "spawner/spawner_wire.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* kindOf(uint64_t value)
{
    if (value == 0) {
        return "none";
    }
    switch (GetFileType(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value)))) {
    case FILE_TYPE_DISK:
        return "disk";
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_CHAR:
        return "char";
    default:
        return "invalid";
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return 2;
    }
    std::string name = std::string("\\\\.\\pipe\\") + argv[1];
    HANDLE pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    unsigned char header[40];
    if (pipe == INVALID_HANDLE_VALUE || !readFully(pipe, header, sizeof(header))) {
        return 1;
    }
    auto length = static_cast<DWORD>(spawner_getLittle(header + 36, 4));
    std::vector<char> command(length + 1, '\0');
    if (length > 0 && !readFully(pipe, command.data(), length)) {
        return 1;
    }
    // Nothing may follow the command line.
    DWORD available = 0;
    PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);

    char record[MAX_PATH + 1] = {0};
    GetEnvironmentVariableA("QOR_SPAWNER_RECORD", record, MAX_PATH);
    FILE* out = fopen(record, "wb");
    if (out != nullptr) {
        HANDLE server = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(spawner_getLittle(header, 8)));
        fprintf(out, "server %lu\n", static_cast<unsigned long>(GetProcessId(server)));
        fprintf(out, "stdin %s\nstdout %s\nstderr %s\n", kindOf(spawner_getLittle(header + 8, 8)),
                kindOf(spawner_getLittle(header + 16, 8)), kindOf(spawner_getLittle(header + 24, 8)));
        fprintf(out, "flags 0x%lx\nlength %lu\ncommand [%s]\nextra %lu\n",
                static_cast<unsigned long>(spawner_getLittle(header + 32, 4)), static_cast<unsigned long>(length),
                command.data(), static_cast<unsigned long>(available));
        fclose(out);
    }
    // QOR_SPAWNER_REPLY=invalid answers with the invalid-handle value in
    // place of 0.
    char how[16] = {0};
    GetEnvironmentVariableA("QOR_SPAWNER_REPLY", how, sizeof(how) - 1);
    unsigned char none = strcmp(how, "invalid") == 0 ? 0xff : 0;
    unsigned char reply[12] = {none, none, none, none, none, none, none, none, 0xd2, 0x04, 0, 0};
    DWORD written = 0;
    WriteFile(pipe, reply, sizeof(reply), &written, nullptr);
    CloseHandle(pipe);
    return 0;
}
