// The C library's text for an error number, bounded by the caller's buffer.
#include "procctl/process_error.h"

#include <cerrno>
#include <cstring>

int process_strerror_r(int errnum, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        errno = ERANGE;
        return -1;
    }
    const char* text = strerror(errnum);
    int seen = errno;
    if (text == nullptr) {
        buffer[0] = '\0';
        errno = seen;
        return -1;
    }
    size_t length = strlen(text);
    if (length >= size) {
        errno = ERANGE;
        return -1;
    }
    memcpy(buffer, text, length + 1);
    return 0;
}
