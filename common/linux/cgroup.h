// The control groups a process lives in (a container's CPU and memory
// limits) and what they allow it. The group comes from /proc/self/cgroup and
// the mounts from /proc/self/mountinfo; cgroup v1, v2 and hybrid machines
// (v1 controllers beside a v2 mount) are read alike. A limit is the tightest
// one on the path from the process's group up to the top of the hierarchy
// the process can see. "max", -1 and the v1 page-counter maximum mean no
// limit, and so does a file that is missing or cannot be read.
//
// The files are found once and kept open; every reading reads them again
// from offset 0, so a container resized while the server runs is seen at the
// next sample.
#pragma once

#include <cstddef>
#include <cstdint>

// The raw figures; -1 for each that does not apply.
struct CgroupFigures {
    int64_t cpuQuotaMicros;   // cpu.max / cpu.cfs_quota_us of the tightest group
    int64_t cpuPeriodMicros;  // its period
    int64_t cpuUsageNanos;    // cpu.stat usage_usec / cpuacct.usage of the process's group
    int64_t memoryLimit;      // bytes: memory.max / memory.limit_in_bytes, the tightest
    int64_t memoryUsage;      // bytes: memory.current / memory.usage_in_bytes
    int64_t memoryWorkingSet; // bytes: usage less the inactive file cache
    int32_t cpusetCount;      // processors of cpuset.cpus(.effective)
};

// What the process may use, from the figures, its affinity mask and the
// processors online: processors is the smaller of the mask's count and
// ceil(quota / period); fraction the same with quota / period unrounded.
// cpuLimited says the allowance is narrower than the machine.
struct CpuAllowance {
    int32_t processors;
    double fraction;
    bool cpuLimited;
    int32_t online; // the machine's processors online
};

// The environment variable that turns the container view off (any value).
constexpr const char* CONTAINER_VIEW_SWITCH = "__JNI_PROCESS_DISABLE_CONTAINER";

// One reader per root: root is prepended to every path it opens, "" for the
// live system (a test's fixture tree stands in for / otherwise).
struct CgroupReader;

// The reader of the live system, found on first use; null when the container
// view is switched off.
CgroupReader* cgroupLiveReader();

// A reader of the tree under root, for tests; closed with cgroupClose.
CgroupReader* cgroupOpen(const char* root);
void cgroupClose(CgroupReader* reader);

// Reads every figure afresh. Never fails: what cannot be read is -1.
void cgroupRead(CgroupReader* reader, CgroupFigures* figures);

// The allowance of figures for a process whose affinity mask holds
// affinityCount processors, on a machine with online processors online.
CpuAllowance cpuAllowance(const CgroupFigures& figures, int32_t affinityCount, int32_t online);

// The live allowance: the CPU limits of reader (null: none; the figures
// gets them, the rest -1), the calling thread's affinity mask and the
// processors online. Reads only the CPU limit files (and the processors
// online), for the CPU samples; the cpuset is in the affinity mask, and a v1
// period is read only where a quota is set (the figures' period is -1 otherwise).
CpuAllowance liveCpuAllowance(CgroupReader* reader, CgroupFigures* figures);

// The CPU usage counter of the process's group, nanoseconds; -1 when unknown.
int64_t cgroupCpuUsage(CgroupReader* reader);

// The monotonic clock in nanoseconds, the time the usage counter is set against.
int64_t monotonicNanos();

// Pure scanners of the files, for the reader and its fuzz harness.

// A limit or counter file: a decimal number; "max", a negative number or the
// v1 page-counter maximum give -1, as does anything else.
int64_t parseCgroupValue(const char* text);
// cpu.max: "<quota|max> <period>".
void parseCpuMax(const char* text, int64_t* quotaMicros, int64_t* periodMicros);
// The value of "<key> <n>" in a flat-keyed file (cpu.stat, memory.stat); -1
// when the key is missing.
int64_t parseKeyedValue(const char* text, const char* key);
// A processor list such as "0-3,8,10-11": how many processors; -1 when empty
// or malformed.
int32_t parseCpuList(const char* text);
// The group path of a controller in /proc/self/cgroup: the path of the v1
// line that names controller, or of the v2 line ("0::") when controller is
// null. False when there is no such line; the path is cut at size.
bool parseCgroupPath(const char* text, const char* controller, char* path, size_t size);
// The mount of a controller in /proc/self/mountinfo (v1: fstype "cgroup" with
// controller among its options; v2: fstype "cgroup2" when controller is
// null): its root within the hierarchy and its mount point, octal escapes
// decoded. False when there is none.
bool parseCgroupMount(const char* text, const char* controller, char* root, size_t rootSize, char* mountPoint,
                      size_t mountSize);
