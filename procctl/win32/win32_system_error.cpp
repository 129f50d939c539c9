// The system's error texts on Windows: those of FormatMessageA, in the ANSI
// code page, with their closing carriage return and line feed.
#include "common/win32.h"
#include "procctl/process_error.h"

void process_system_error_text(int sysErr, char* buffer, size_t size)
{
    if (size == 0) {
        return;
    }
    // Some system texts hold inserts ("%1 is not a valid Win32 application");
    // with no arguments to give, they are left as they are instead of being
    // read from an argument array that does not exist.
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, static_cast<DWORD>(sysErr), 0, buffer, static_cast<DWORD>(size - 1), nullptr);
    if (length == 0) {
        buffer[0] = '\0';
    } else {
        buffer[size - 1] = '\0';
    }
}
