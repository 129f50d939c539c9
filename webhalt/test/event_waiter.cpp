// The web server stand-in for the webhalt tests:
//   event_waiter <pid file> <action> <milliseconds>
// creates the event "ap<pid>_<action>", then writes its pid to the pid file
// and waits for the event.  Exit 0 when the event was set, 1 when the time
// ran out, 2 when it could not set itself up.
#include "common/win32.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 4) {
        return 2;
    }
    wchar_t name[128];
    _snwprintf(name, 127, L"ap%lu_%ls", GetCurrentProcessId(), argv[2]);
    name[127] = 0;
    unique_handle event(CreateEventW(nullptr, TRUE, FALSE, name));
    FILE* pidFile = _wfopen(argv[1], L"wb");
    if (!event || pidFile == nullptr) {
        return 2;
    }
    fprintf(pidFile, "%lu\n", GetCurrentProcessId());
    fclose(pidFile);
    DWORD wait = WaitForSingleObject(event.get(), static_cast<DWORD>(wcstoul(argv[3], nullptr, 10)));
    LocalFree(argv);
    return wait == WAIT_OBJECT_0 ? 0 : 1;
}
