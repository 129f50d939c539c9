// Test hooks, linked only into the tests' twin of the library.
#include "procctl/unix/unix_process.h"

// Makes the creation time-out this many seconds; 0 restores the rule of the
// environment variable (whole minutes, at least two).
extern "C" JNIEXPORT void unix_overrideStartProcessTimeout(int seconds)
{
    unix_startTimeoutOverride = seconds;
}
