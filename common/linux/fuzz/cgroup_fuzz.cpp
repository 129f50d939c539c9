// The control-group files on the fuzzer's bytes: /proc/self/cgroup,
// /proc/self/mountinfo, limit and counter files, cpu.max, the keyed stat files
// and processor lists.
#include "common/linux/cgroup.h"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* p = text.c_str();
    int64_t quota = 0;
    int64_t period = 0;
    if (parseCgroupValue(p) < -1) {
        __builtin_trap(); // a limit is a size or -1
    }
    parseCpuMax(p, &quota, &period);
    parseKeyedValue(p, "usage_usec");
    parseKeyedValue(p, "total_inactive_file");
    parseCpuList(p);
    char path[64];
    char root[64];
    char mount[64];
    static const char* const controllers[] = {"cpu", "memory", nullptr};
    for (const char* controller : controllers) {
        if (parseCgroupPath(p, controller, path, sizeof path) && strnlen(path, sizeof path) == sizeof path) {
            __builtin_trap();
        }
        if (parseCgroupMount(p, controller, root, sizeof root, mount, sizeof mount) &&
            (strnlen(root, sizeof root) == sizeof root || strnlen(mount, sizeof mount) == sizeof mount)) {
            __builtin_trap(); // a path left unterminated
        }
    }
    return 0;
}
