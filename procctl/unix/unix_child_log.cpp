// The child side's own formatted output.  Child-side code: read
// unix_child.h first; every function carries UNIX_CHILD_SIDE.
#include "procctl/unix/unix_child_log.h"

#include "procctl/unix/linux_raw_syscall.h"

#include <cstdarg>
#include <ctime>
#include <unistd.h>

UNIX_CHILD_SIDE void unix_childPutChar(ChildText* out, char c)
{
    if (out->used + 1 < out->size) {
        out->buffer[out->used++] = c;
    }
}

UNIX_CHILD_SIDE void unix_childPutString(ChildText* out, const char* s)
{
    if (s == nullptr) {
        s = "(null)";
    }
    while (*s != '\0') {
        unix_childPutChar(out, *s++);
    }
}

namespace {

UNIX_CHILD_SIDE void putUnsigned(ChildText* out, unsigned long long value, unsigned base)
{
    char digits[24];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    while (n > 0) {
        unix_childPutChar(out, digits[--n]);
    }
}

UNIX_CHILD_SIDE void putSigned(ChildText* out, long long value)
{
    if (value < 0) {
        unix_childPutChar(out, '-');
        putUnsigned(out, static_cast<unsigned long long>(-(value + 1)) + 1, 10);
    } else {
        putUnsigned(out, static_cast<unsigned long long>(value), 10);
    }
}

// The subset of printf the child's messages use: %d, %x, %s and %%.
UNIX_CHILD_SIDE void format(ChildText* out, const char* fmt, va_list args)
{
    for (const char* p = fmt; *p != '\0'; p++) {
        if (*p != '%') {
            unix_childPutChar(out, *p);
            continue;
        }
        p++;
        switch (*p) {
        case 'd':
            putSigned(out, va_arg(args, int));
            break;
        case 'x':
            putUnsigned(out, va_arg(args, unsigned int), 16);
            break;
        case 's':
            unix_childPutString(out, va_arg(args, const char*));
            break;
        case '%':
            unix_childPutChar(out, '%');
            break;
        default:
            return;
        }
    }
}

} // namespace

UNIX_CHILD_SIDE void unix_childLog(const ChildPlan* plan, const char* fmt, ...)
{
    if (plan->logEnabled == 0) {
        return;
    }
    char message[1948];
    ChildText m{message, sizeof(message), 0};
    va_list args;
    va_start(args, fmt);
    format(&m, fmt, args);
    va_end(args);
    message[m.used] = '\0';

    struct timespec now {};
    raw_syscall(SYS_clock_gettime, CLOCK_REALTIME, reinterpret_cast<long>(&now));
    char line[2048];
    ChildText l{line, 2047, 0};
    unix_childPutString(&l, "Time: [0x");
    putUnsigned(&l, static_cast<unsigned int>(now.tv_sec), 16);
    unix_childPutString(&l, "], Process: [");
    putSigned(&l, plan->logPid);
    unix_childPutString(&l, "], Thread: [0x");
    putUnsigned(&l, plan->threadTag, 16);
    unix_childPutString(&l, "]: ");
    unix_childPutString(&l, message);
    raw_syscall(SYS_write, STDOUT_FILENO, reinterpret_cast<long>(line), static_cast<long>(l.used));
}
