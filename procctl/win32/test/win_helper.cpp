// The program the Windows launch tests start.  It runs its arguments as a
// list of commands and reports what it sees on its standard output:
//   exit N        end with exit code N
//   sleep MS      sleep MS milliseconds
//   out TEXT      write TEXT and a line feed to standard output
//   err TEXT      write TEXT and a line feed to standard error
//   cat           copy standard input to standard output
//   env NAME      write the value of NAME, or <unset>
//   cwd           write the current directory
//   priority      write the priority class in hexadecimal
//   handles       write the type of each standard handle (none, disk, pipe, char, unknown)
#include "common/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void writeTo(DWORD which, const std::string& text)
{
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

const char* typeOf(HANDLE h)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        return "none";
    }
    switch (GetFileType(h)) {
    case FILE_TYPE_DISK:
        return "disk";
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_CHAR:
        return "char";
    default:
        return "unknown";
    }
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::string command = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : "";
        if (command == "exit") {
            return atoi(arg);
        } else if (command == "sleep") {
            Sleep(static_cast<DWORD>(atoi(arg)));
            i++;
        } else if (command == "out") {
            writeTo(STD_OUTPUT_HANDLE, arg);
            i++;
        } else if (command == "err") {
            writeTo(STD_ERROR_HANDLE, arg);
            i++;
        } else if (command == "cat") {
            char buffer[4096];
            DWORD n = 0;
            HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
            HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
            while (ReadFile(in, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
                DWORD written = 0;
                WriteFile(out, buffer, n, &written, nullptr);
            }
        } else if (command == "env") {
            char value[4096];
            DWORD n = GetEnvironmentVariableA(arg, value, sizeof(value));
            writeTo(STD_OUTPUT_HANDLE, n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND ? "<unset>" : value);
            i++;
        } else if (command == "cwd") {
            char dir[MAX_PATH + 1];
            GetCurrentDirectoryA(sizeof(dir), dir);
            writeTo(STD_OUTPUT_HANDLE, dir);
        } else if (command == "priority") {
            char text[32];
            snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(GetPriorityClass(GetCurrentProcess())));
            writeTo(STD_OUTPUT_HANDLE, text);
        } else if (command == "handles") {
            std::string text = std::string(typeOf(GetStdHandle(STD_INPUT_HANDLE))) + " " +
                               typeOf(GetStdHandle(STD_OUTPUT_HANDLE)) + " " + typeOf(GetStdHandle(STD_ERROR_HANDLE));
            writeTo(STD_OUTPUT_HANDLE, text);
        } else {
            fprintf(stderr, "win_helper: unknown command %s\n", command.c_str());
            return 99;
        }
    }
    return 0;
}
