// The system's error texts on Unix: those of the C library.
#include "procctl/process_error.h"

void process_system_error_text(int sysErr, char* buffer, size_t size)
{
    if (process_strerror_r(sysErr, buffer, size) != 0) {
        buffer[0] = '\0';
    }
}
