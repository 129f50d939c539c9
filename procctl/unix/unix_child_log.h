// The child side's own formatted output, in place of the C library's,
// which the child may not call (unix_child.h).
#pragma once

#include "procctl/unix/unix_child.h"

#include <cstddef>

// Appends to a bounded buffer; `used` never passes size - 1.
struct ChildText {
    char* buffer;
    size_t size;
    size_t used;
};

// Hidden, so that the child calls them directly, never through the PLT.
__attribute__((visibility("hidden"))) void unix_childPutChar(ChildText* out, char c);
// "(null)" for a null string.
__attribute__((visibility("hidden"))) void unix_childPutString(ChildText* out, const char* s);

// One log line in the library's format, written with a single write(2) to
// the child's standard output when the plan's log is on.  Same buffers and
// limits as the server's log; the format knows %d, %x, %s and %%.
__attribute__((visibility("hidden"))) void unix_childLog(const ChildPlan* plan, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
