// The program whose sizes the process-size test reads:
//   size_helper ALLOCATE_MB KEEP_MB TOKEN
// commits and touches ALLOCATE_MB megabytes, gives all but KEEP_MB of them
// back (so its peak working set stays above its working set), writes
// "ready" and waits until its standard input ends.  TOKEN only marks its
// command line, by which the test finds its Linux process.
#include "common/win32.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 3) {
        return 2;
    }
    SIZE_T allocate = static_cast<SIZE_T>(atoi(argv[1])) << 20;
    SIZE_T keep = static_cast<SIZE_T>(atoi(argv[2])) << 20;
    auto* memory =
        static_cast<volatile char*>(VirtualAlloc(nullptr, allocate, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (memory == nullptr) {
        return 1;
    }
    for (SIZE_T at = 0; at < allocate; at += 4096) {
        memory[at] = 1;
    }
    VirtualFree(const_cast<char*>(memory) + keep, allocate - keep, MEM_DECOMMIT);
    printf("ready\n");
    fflush(stdout);
    char buffer[64];
    while (fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    return 0;
}
