// The program the Windows meter tests sample. It runs its arguments as a list
// of commands:
//   tag TEXT         TEXT marks its command line and those of its children
//   busy MS          keeps one processor busy for MS milliseconds, on a thread
//                    of its own while the commands go on
//   tree DEPTH WIDTH starts WIDTH children that run "tree DEPTH-1 WIDTH ready
//                    serve" (none at depth 1) and waits until each is ready
//   ready            writes "ready" to standard output
//   serve            answers the lines of standard input until it ends:
//                    "times" with "CREATION CPU NOW" (its own process times,
//                    kernel plus user, and the system time, in 100-ns units),
//                    "busy MS" as the command, with "ok"
// A child's standard input is a pipe that only its parent writes, so the
// children see its end when the parent ends, and end in turn: closing the
// first program's input ends the whole tree.
#include "common/test/child_pipes.h"
#include "common/win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string tag;

// Starts this program with arguments; answers the pipe on which it writes
// "ready", or null. The child's input stays open until this program ends.
HANDLE startChild(const std::string& arguments)
{
    char path[MAX_PATH + 1] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string command = std::string("\"") + path + "\" tag " + tag + " " + arguments;
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    PROCESS_INFORMATION info = {};
    if (!win32test::startWithPipes(command, 0, &input, &output, &info)) {
        for (HANDLE end : {input, output}) {
            if (end != nullptr) {
                CloseHandle(end);
            }
        }
        return nullptr;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return output;
}

void writeLine(const std::string& text)
{
    std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

// Reads one line from file; false at its end.
bool readLine(HANDLE file, std::string* line)
{
    line->clear();
    char c = 0;
    DWORD n = 0;
    while (ReadFile(file, &c, 1, &n, nullptr) && n == 1) {
        if (c == '\n') {
            return true;
        }
        *line += c;
    }
    return false;
}

// Starts all the children at once, then waits until each is ready. A child
// that could not be started, or ended before it was ready (seen once under
// wine, starting 512 at once on a busy machine), is reported and started
// again, once.
bool startChildren(int count, const std::string& arguments)
{
    std::vector<HANDLE> outputs;
    for (int k = 0; k < count; k++) {
        outputs.push_back(startChild(arguments));
    }
    bool ready = true;
    for (size_t k = 0; k < outputs.size(); k++) {
        HANDLE output = outputs[k];
        for (int attempt = 0;; attempt++) {
            std::string line;
            bool gone = output == nullptr || !readLine(output, &line);
            DWORD error = GetLastError();
            if (output != nullptr) {
                CloseHandle(output);
            }
            if (!gone && line == "ready") {
                break;
            }
            fprintf(stderr, "procload_target: child %zu of %d %s (error %lu)\n", k + 1, count,
                    output == nullptr ? "could not be started"
                    : gone            ? "ended before it was ready"
                                      : ("answered \"" + line + "\"").c_str(),
                    static_cast<unsigned long>(error));
            if (!gone || attempt > 0) {
                ready = false;
                break;
            }
            output = startChild(arguments);
        }
    }
    return ready;
}

DWORD WINAPI spin(LPVOID milliseconds)
{
    ULONGLONG end = GetTickCount64() + reinterpret_cast<ULONG_PTR>(milliseconds);
    volatile unsigned long long n = 0;
    while (GetTickCount64() < end) {
        n = n + 1;
    }
    return 0;
}

void busy(int milliseconds)
{
    auto arg = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(milliseconds));
    HANDLE thread = CreateThread(nullptr, 0, spin, arg, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

unsigned long long units(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void serve()
{
    std::string request;
    while (readLine(GetStdHandle(STD_INPUT_HANDLE), &request)) {
        if (request == "times") {
            FILETIME creation;
            FILETIME exit;
            FILETIME kernel;
            FILETIME user;
            GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user);
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            writeLine(std::to_string(units(creation)) + " " + std::to_string(units(kernel) + units(user)) + " " +
                      std::to_string(units(now)));
        } else if (request.rfind("busy ", 0) == 0) {
            busy(atoi(request.c_str() + 5));
            writeLine("ok");
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::string command = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : "0";
        if (command == "tag") {
            tag = arg;
            i++;
        } else if (command == "busy") {
            busy(atoi(arg));
            i++;
        } else if (command == "tree" && i + 2 < argc) {
            int depth = atoi(arg);
            std::string width = argv[i + 2];
            if (depth > 1 && !startChildren(atoi(width.c_str()),
                                            "tree " + std::to_string(depth - 1) + " " + width + " ready serve")) {
                return 1;
            }
            i += 2;
        } else if (command == "ready") {
            writeLine("ready");
        } else if (command == "serve") {
            serve();
        } else {
            fprintf(stderr, "procload_target: unknown command %s\n", command.c_str());
            return 99;
        }
    }
    return 0;
}
