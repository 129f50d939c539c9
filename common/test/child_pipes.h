// Starting a helper program of the Windows tests with its standard input and
// output on pipes.
#pragma once

#include "common/win32.h"

#include <string>

namespace win32test {

// Starts `command` (CreateProcess `flags`) with its standard input and output
// on pipes and our standard error; only the child's ends are inherited.
// `input` and `output` get our ends (null where a pipe could not be made),
// `info` the new process and its first thread. Answers whether it started.
inline bool startWithPipes(std::string command, DWORD flags, HANDLE* input, HANDLE* output, PROCESS_INFORMATION* info)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr;
    HANDLE childOut = nullptr;
    *input = nullptr;
    *output = nullptr;
    *info = {};
    if (!CreatePipe(&childIn, input, &inherit, 0)) {
        return false;
    }
    if (!CreatePipe(output, &childOut, &inherit, 0)) {
        CloseHandle(childIn);
        return false;
    }
    SetHandleInformation(*input, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(*output, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    BOOL started =
        CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, info);
    CloseHandle(childIn);
    CloseHandle(childOut);
    return started != FALSE;
}

} // namespace win32test
