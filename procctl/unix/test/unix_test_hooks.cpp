// Test hooks, linked only into the tests' twin of the library.
#include "procctl/unix/unix_process.h"

// Makes the creation time-out this many seconds; 0 restores the rule of the
// environment variable (whole minutes, at least two).
extern "C" JNIEXPORT void unix_overrideStartProcessTimeout(int seconds)
{
    unix_startTimeoutOverride = seconds;
}

// Makes the library take the paths of a kernel with less than this one has
// (UnixKernelFeatures); 0 uses all it has.  Affects records made afterwards.
extern "C" JNIEXPORT void unix_overrideKernelFeatures(int features)
{
    unix_kernelFeatureOverride = features;
}
