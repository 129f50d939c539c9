// webhalt.exe: tells a web server on this machine to perform an action by
// setting the named event "ap<pid>_<action>" that the server watches.  The
// pid comes from the pid file named by the PidFile directive of the server's
// configuration file.  All text is wide; files are read with others denied
// the right to write them meanwhile.
#include "common/win32.h"
#include "webhalt/command_line.h"
#include "webhalt/pidfile_scan.h"

#include <share.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

namespace {

// The event name: "ap", the pid, "_" and the action, in 104 characters.
constexpr int eventNameSize = 104;

// Writes one message to standard error: to a console as wide text, anywhere
// else in the ANSI code page.
void report(const wchar_t* format, ...)
{
    wchar_t text[2048];
    va_list arguments;
    va_start(arguments, format);
    int n = _vsnwprintf(text, sizeof(text) / sizeof(text[0]) - 1, format, arguments);
    va_end(arguments);
    text[sizeof(text) / sizeof(text[0]) - 1] = 0;
    int length = n < 0 ? static_cast<int>(wcslen(text)) : n;
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(err, &mode)) {
        WriteConsoleW(err, text, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    char bytes[sizeof(text) * 2];
    int size = WideCharToMultiByte(CP_ACP, 0, text, length, bytes, sizeof(bytes), nullptr, nullptr);
    WriteFile(err, bytes, static_cast<DWORD>(size), &written, nullptr);
}

void toBackslashes(wchar_t* path)
{
    for (; *path != 0; path++) {
        if (*path == L'/') {
            *path = L'\\';
        }
    }
}

// Reads a file, up to limit bytes, as wide text: UTF-8 where the bytes are valid UTF-8,
// else the ANSI code page; more tells whether the file goes on past them.  On
// failure error is the system error.
bool readText(const wchar_t* path, std::wstring& text, bool& more, DWORD& error, size_t limit)
{
    FILE* file = _wfsopen(path, L"rb", _SH_DENYWR);
    if (file == nullptr) {
        error = GetLastError();
        return false;
    }
    std::string bytes;
    char buffer[4096];
    size_t n;
    while (bytes.size() <= limit &&
           (n = fread(buffer, 1, std::min(sizeof(buffer), limit + 1 - bytes.size()), file)) > 0) {
        bytes.append(buffer, n);
    }
    fclose(file);
    more = bytes.size() > limit;
    if (more) {
        bytes.resize(limit);
    }
    text.clear();
    if (bytes.empty()) {
        return true;
    }
    UINT codePage = CP_UTF8;
    DWORD flags = MB_ERR_INVALID_CHARS;
    int size = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (size == 0) {
        codePage = CP_ACP;
        flags = 0;
        size = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    }
    text.resize(static_cast<size_t>(size));
    MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
    return true;
}

// Finds the server through its configuration and sets its event for the
// action.  Returns the exit status.
int signalServer(const wchar_t* configuration, const wchar_t* action)
{
    wchar_t configPath[configurationPathMax + 1];
    wcscpy(configPath, configuration); // the command line's length was checked
    toBackslashes(configPath);
    std::wstring text;
    bool more = false;
    DWORD error = 0;
    if (!readText(configPath, text, more, error, configurationTextMax)) {
        report(L"_wfsopen(%ls): %lu\n", configPath, error);
        return exitNotSignalled;
    }
    if (more) {
        report(L"error: the configuration file %ls is longer than 16 MiB\n", configPath);
        return exitNotSignalled;
    }
    wchar_t pidPath[pidFilePathSize];
    switch (scanPidFile(std::wstring_view(text), pidPath)) {
    case PidFileScan::found:
        break;
    case PidFileScan::missing:
        report(L"error: could not find PidFile directive in %ls\n", configPath);
        return exitNotSignalled;
    case PidFileScan::tooLong:
        report(L"error: the PidFile path in %ls is longer than 260 characters\n", configPath);
        return exitRefused;
    }

    // A relative path is taken from the current directory, as written.
    toBackslashes(pidPath);
    if (!readText(pidPath, text, more, error, pidTextMax)) {
        report(L"_wfsopen(%ls): %lu\n", pidPath, error);
        return exitNotSignalled;
    }
    int pid = 0;
    // A file that goes on past the pid and its line end holds something else.
    if (more || !parsePid(std::wstring_view(text), pid)) {
        report(L"error: could not find pid in %ls\n", pidPath);
        return exitNotSignalled;
    }

    wchar_t eventName[eventNameSize];
    int n = _snwprintf(eventName, eventNameSize, L"ap%d_%ls", pid, action);
    eventName[eventNameSize - 1] = 0;
    if (n < 0 || n >= eventNameSize) {
        report(L"error: the event name for action %ls is longer than 103 characters\n", action);
        return exitRefused;
    }
    // The server owns the event; the tool never creates it, so a server that
    // does not run is reported here.
    unique_handle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName));
    if (!event) {
        report(L"OpenEvent(%ls): %lu\n", eventName, GetLastError());
        return exitNotSignalled;
    }
    if (!SetEvent(event.get())) {
        report(L"SetEvent(%ls): %lu\n", eventName, GetLastError());
        return exitNotSignalled;
    }
    return exitSignalled;
}

struct LocalFreeDeleter {
    void operator()(LPWSTR* argv) const { LocalFree(argv); }
};

} // namespace

int main()
{
    int argc = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    if (!argv) {
        report(L"CommandLineToArgvW(): %lu\n", GetLastError());
        return exitRefused;
    }
    CommandLine<wchar_t> commandLine;
    CommandLineError error = parseCommandLine(argc, argv.get(), commandLine);
    if (error != CommandLineError::none) {
        if (const char* message = commandLineMessage(error)) {
            report(L"%hs", message);
        }
        return exitRefused;
    }
    return signalServer(commandLine.configuration, commandLine.action);
}
