// The control-group reader: pure scanners of the cgroup files and of
// /proc/self/cgroup and mountinfo, and the reader that finds the process's
// files once, keeps them open and reads them again at every sample.
#include "common/linux/cgroup.h"
#include "common/linux/proc_stat_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {

// Groups read on the path up to the top; deeper nesting keeps the lowest ones.
constexpr int MAX_LEVELS = 16;
constexpr size_t PATH_SIZE = 4096;
// The v1 page counter's maximum is LONG_MAX rounded down to the page size;
// with pages of up to 64 KiB every such value is at least this.
constexpr int64_t PAGE_COUNTER_MAX = INT64_MAX - 0xFFFF;
// /proc/self/mountinfo of a machine with many mounts.
constexpr size_t MOUNTINFO_SIZE = size_t{1} << 20;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// "word" as a whole item of the comma-separated list at list (ended by a blank or the end).
bool listHas(const char* list, const char* word)
{
    size_t length = strlen(word);
    const char* p = list;
    while (*p != '\0' && !isSpace(*p)) {
        const char* end = p;
        while (*end != '\0' && *end != ',' && !isSpace(*end)) {
            end++;
        }
        if (static_cast<size_t>(end - p) == length && strncmp(p, word, length) == 0) {
            return true;
        }
        p = *end == ',' ? end + 1 : end;
    }
    return false;
}

// Copies the blank-ended field at p into out (size bytes, terminated),
// decoding the kernel's octal escapes (\040 for a space); answers the end of the field.
const char* copyField(const char* p, char* out, size_t size)
{
    size_t n = 0;
    while (*p != '\0' && !isSpace(*p)) {
        char c = *p++;
        if (c == '\\' && p[0] >= '0' && p[0] <= '3' && p[1] >= '0' && p[1] <= '7' && p[2] >= '0' && p[2] <= '7') {
            c = static_cast<char>((p[0] - '0') * 64 + (p[1] - '0') * 8 + (p[2] - '0'));
            p += 3;
        }
        if (n + 1 < size) {
            out[n++] = c;
        }
    }
    if (size > 0) {
        out[n] = '\0';
    }
    return p;
}

const char* skipField(const char* p)
{
    while (*p == ' ') {
        p++;
    }
    while (*p != '\0' && !isSpace(*p)) {
        p++;
    }
    while (*p == ' ') {
        p++;
    }
    return p;
}

const char* nextLine(const char* p)
{
    const char* end = strchr(p, '\n');
    return end == nullptr ? nullptr : end + 1;
}

// A file's text at offset 0 into buffer (terminated); false when unreadable or empty.
bool preadText(int fd, char* buffer, size_t size)
{
    if (fd < 0) {
        return false;
    }
    ssize_t n = pread(fd, buffer, size - 1, 0);
    if (n <= 0) {
        return false;
    }
    buffer[n] = '\0';
    return true;
}

// A whole small file by path, read fully; false when unreadable.
bool readWhole(const char* path, char* buffer, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t total = 0;
    while (total + 1 < size) {
        ssize_t n = read(fd, buffer + total, size - 1 - total);
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
    }
    close(fd);
    buffer[total] = '\0';
    return total > 0;
}

int openAt(const char* dir, const char* name)
{
    char path[PATH_SIZE];
    int n = snprintf(path, sizeof path, "%s/%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        return -1;
    }
    return open(path, O_RDONLY | O_CLOEXEC);
}

void closeFd(int* fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

} // namespace

// One controller's files on the path up to the top; -1 where missing.
struct ControllerFiles {
    int version; // 0 none found, 1 or 2
    int levels;  // entries of limit (and period) in use, the process's group first
    int limit[MAX_LEVELS];
    int period[MAX_LEVELS]; // v1 cpu.cfs_period_us
    int usage;              // the process's group: cpuacct.usage / cpu.stat, memory usage
    int stat;               // memory.stat
};

struct CgroupReader {
    ControllerFiles cpu;
    ControllerFiles cpuacct;
    ControllerFiles memory;
    int cpuset;
    int online; // the machine's processors online, kept open like the rest
};

int64_t parseCgroupValue(const char* text)
{
    uint64_t value = 0;
    const char* end = parseUnsignedDecimal(text, &value);
    if (end == nullptr || (*end != '\0' && !isSpace(*end)) || value >= static_cast<uint64_t>(PAGE_COUNTER_MAX)) {
        return -1; // "max", "-1", the page-counter maximum, garbage
    }
    return static_cast<int64_t>(value);
}

void parseCpuMax(const char* text, int64_t* quotaMicros, int64_t* periodMicros)
{
    *quotaMicros = parseCgroupValue(text);
    const char* p = text;
    while (*p == ' ') {
        p++;
    }
    while (*p != '\0' && !isSpace(*p)) {
        p++;
    }
    *periodMicros = *p == ' ' ? parseCgroupValue(p) : -1;
}

int64_t parseKeyedValue(const char* text, const char* key)
{
    size_t length = strlen(key);
    for (const char* line = text; line != nullptr && *line != '\0'; line = nextLine(line)) {
        if (strncmp(line, key, length) == 0 && line[length] == ' ') {
            return parseCgroupValue(line + length);
        }
    }
    return -1;
}

int32_t parseCpuList(const char* text)
{
    int64_t count = 0;
    const char* p = text;
    while (*p != '\0' && !isSpace(*p)) {
        uint64_t first = 0;
        uint64_t last = 0;
        p = parseUnsignedDecimal(p, &first);
        if (p == nullptr) {
            return -1;
        }
        last = first;
        if (*p == '-') {
            p = parseUnsignedDecimal(p + 1, &last);
            if (p == nullptr || last < first) {
                return -1;
            }
        }
        count += static_cast<int64_t>(last - first) + 1;
        if (count > INT32_MAX) {
            return -1;
        }
        if (*p == ',') {
            p++;
        } else if (*p != '\0' && !isSpace(*p)) {
            return -1;
        }
    }
    return count > 0 ? static_cast<int32_t>(count) : -1;
}

bool parseCgroupPath(const char* text, const char* controller, char* path, size_t size)
{
    for (const char* line = text; line != nullptr && *line != '\0'; line = nextLine(line)) {
        // "id:controllers:path"; the path may itself hold colons.
        const char* eol = strchr(line, '\n');
        size_t lineLength = eol != nullptr ? static_cast<size_t>(eol - line) : strlen(line);
        const char* first = strchr(line, ':');
        if (first == nullptr || static_cast<size_t>(first - line) >= lineLength) {
            continue;
        }
        const char* second = strchr(first + 1, ':');
        if (second == nullptr || static_cast<size_t>(second - line) >= lineLength) {
            continue;
        }
        char list[256];
        size_t listLength = static_cast<size_t>(second - first - 1);
        if (listLength >= sizeof list) {
            continue;
        }
        memcpy(list, first + 1, listLength);
        list[listLength] = '\0';
        bool match =
            controller == nullptr ? listLength == 0 && first == line + 1 && line[0] == '0' : listHas(list, controller);
        if (!match) {
            continue;
        }
        size_t n = lineLength - static_cast<size_t>(second + 1 - line);
        if (n == 0 || n >= size || second[1] != '/') {
            return false;
        }
        memcpy(path, second + 1, n);
        path[n] = '\0';
        return true;
    }
    return false;
}

bool parseCgroupMount(const char* text, const char* controller, char* root, size_t rootSize, char* mountPoint,
                      size_t mountSize)
{
    for (const char* line = text; line != nullptr && *line != '\0'; line = nextLine(line)) {
        const char* eol = strchr(line, '\n');
        size_t lineLength = eol != nullptr ? static_cast<size_t>(eol - line) : strlen(line);
        const char* dash = strstr(line, " - ");
        if (dash == nullptr || static_cast<size_t>(dash - line) >= lineLength) {
            continue;
        }
        const char* type = dash + 3;
        bool v2 = strncmp(type, "cgroup2 ", 8) == 0;
        bool v1 = strncmp(type, "cgroup ", 7) == 0;
        if (controller == nullptr ? !v2 : !v1) {
            continue;
        }
        if (controller != nullptr) {
            const char* options = skipField(skipField(type)); // fstype, source
            if (!listHas(options, controller)) {
                continue;
            }
        }
        const char* p = skipField(skipField(skipField(line))); // id, parent, major:minor
        p = copyField(p, root, rootSize);
        while (*p == ' ') {
            p++;
        }
        copyField(p, mountPoint, mountSize);
        return root[0] == '/' && mountPoint[0] == '/';
    }
    return false;
}

namespace {

// The directory of the process's group for one controller, and the top of the
// hierarchy as mounted, both under prefix. False when the controller is not
// mounted or the process is in no group of it.
bool findGroup(const char* prefix, const char* cgroupText, const char* mountinfo, const char* controller, char* dir,
               char* top)
{
    char path[PATH_SIZE];
    char root[PATH_SIZE];
    char mountPoint[PATH_SIZE];
    if (!parseCgroupPath(cgroupText, controller, path, sizeof path) ||
        !parseCgroupMount(mountinfo, controller, root, sizeof root, mountPoint, sizeof mountPoint)) {
        return false;
    }
    // The mount shows the hierarchy from root down: the group's place under
    // it. Under a cgroup namespace both are "/"; a mount of a subtree the
    // group is not in (a container's view of a host path) is read at its top.
    const char* relative = "";
    size_t rootLength = strlen(root);
    if (strcmp(root, "/") == 0) {
        relative = path;
    } else if (strncmp(path, root, rootLength) == 0 && (path[rootLength] == '/' || path[rootLength] == '\0')) {
        relative = path + rootLength;
    }
    if (strcmp(relative, "/") == 0) {
        relative = "";
    }
    int n = snprintf(top, PATH_SIZE, "%s%s", prefix, strcmp(mountPoint, "/") == 0 ? "" : mountPoint);
    if (n < 0 || static_cast<size_t>(n) >= PATH_SIZE) {
        return false;
    }
    n = snprintf(dir, PATH_SIZE, "%s%s", top, relative);
    if (n < 0 || static_cast<size_t>(n) >= PATH_SIZE || access(dir, F_OK) != 0) {
        snprintf(dir, PATH_SIZE, "%s", top); // a group the mount does not show
    }
    return true;
}

// Opens name (and periodName) in dir and in each parent up to top.
void openLevels(ControllerFiles* files, char* dir, const char* top, const char* name, const char* periodName)
{
    size_t topLength = strlen(top);
    files->levels = 0;
    while (files->levels < MAX_LEVELS) {
        files->limit[files->levels] = openAt(dir, name);
        files->period[files->levels] = periodName != nullptr ? openAt(dir, periodName) : -1;
        files->levels++;
        size_t length = strlen(dir);
        if (length <= topLength) {
            break;
        }
        char* slash = strrchr(dir, '/');
        if (slash == nullptr || static_cast<size_t>(slash - dir) < topLength) {
            dir[topLength] = '\0';
        } else {
            *slash = '\0';
        }
    }
}

void initFiles(ControllerFiles* files)
{
    files->version = 0;
    files->levels = 0;
    files->usage = -1;
    files->stat = -1;
    for (int i = 0; i < MAX_LEVELS; i++) {
        files->limit[i] = -1;
        files->period[i] = -1;
    }
}

void closeFiles(ControllerFiles* files)
{
    for (int i = 0; i < files->levels; i++) {
        closeFd(&files->limit[i]);
        closeFd(&files->period[i]);
    }
    closeFd(&files->usage);
    closeFd(&files->stat);
}

// One controller: its v1 hierarchy where the machine has one, else the v2 group.
void openController(CgroupReader* reader, const char* prefix, const char* cgroupText, const char* mountinfo,
                    const char* controller)
{
    char dir[PATH_SIZE];
    char top[PATH_SIZE];
    bool v1 = findGroup(prefix, cgroupText, mountinfo, controller, dir, top);
    if (!v1 && !findGroup(prefix, cgroupText, mountinfo, nullptr, dir, top)) {
        return;
    }
    int version = v1 ? 1 : 2;
    if (strcmp(controller, "cpu") == 0) {
        reader->cpu.version = version;
        openLevels(&reader->cpu, dir, top, v1 ? "cpu.cfs_quota_us" : "cpu.max", v1 ? "cpu.cfs_period_us" : nullptr);
    } else if (strcmp(controller, "cpuacct") == 0) {
        reader->cpuacct.version = version;
        // The usage counter of a hierarchy's own root counts the whole
        // machine, not a container: a process limited only by its affinity
        // mask, or by a quota in a cpu hierarchy mounted apart, would read
        // the machine's CPU over its own allowance. A v1 root is the only
        // group with cgroup.sane_behavior, a v2 root the only one without
        // cgroup.type (which every kernel whose cpu.stat counts usage has).
        int mark = openAt(dir, v1 ? "cgroup.sane_behavior" : "cgroup.type");
        if (v1 ? mark < 0 : mark >= 0) {
            reader->cpuacct.usage = openAt(dir, v1 ? "cpuacct.usage" : "cpu.stat");
        }
        closeFd(&mark);
    } else if (strcmp(controller, "cpuset") == 0) {
        reader->cpuset = openAt(dir, v1 ? "cpuset.cpus" : "cpuset.cpus.effective");
    } else {
        reader->memory.version = version;
        reader->memory.usage = openAt(dir, v1 ? "memory.usage_in_bytes" : "memory.current");
        reader->memory.stat = openAt(dir, "memory.stat");
        openLevels(&reader->memory, dir, top, v1 ? "memory.limit_in_bytes" : "memory.max", nullptr);
    }
}

int64_t preadValue(int fd)
{
    char text[128];
    return preadText(fd, text, sizeof text) ? parseCgroupValue(text) : -1;
}

// The tightest quota on the path. A v1 period is read only with a quota, or
// when the raw figures are wanted: every CPU sample reads the limits, and
// outside a container that is one file less per group.
void readCpuLimit(const ControllerFiles& cpu, bool everyPeriod, CgroupFigures* figures)
{
    for (int i = 0; i < cpu.levels; i++) {
        char text[128];
        int64_t quota = -1;
        int64_t period = -1;
        if (cpu.version == 2) {
            if (preadText(cpu.limit[i], text, sizeof text)) {
                parseCpuMax(text, &quota, &period);
            }
        } else {
            quota = preadValue(cpu.limit[i]);
            if (quota > 0 || everyPeriod) {
                period = preadValue(cpu.period[i]);
            }
        }
        if (i == 0 && period > 0) {
            figures->cpuPeriodMicros = period;
        }
        if (quota <= 0 || period <= 0) {
            continue;
        }
        // The tightest group decides: compare quota / period across levels
        // without dividing (both below 2^47 in practice; the products fit).
        if (figures->cpuQuotaMicros < 0 ||
            static_cast<double>(quota) * static_cast<double>(figures->cpuPeriodMicros) <
                static_cast<double>(figures->cpuQuotaMicros) * static_cast<double>(period)) {
            figures->cpuQuotaMicros = quota;
            figures->cpuPeriodMicros = period;
        }
    }
}

void readMemory(const ControllerFiles& memory, CgroupFigures* figures)
{
    for (int i = 0; i < memory.levels; i++) {
        int64_t limit = preadValue(memory.limit[i]);
        if (limit >= 0 && (figures->memoryLimit < 0 || limit < figures->memoryLimit)) {
            figures->memoryLimit = limit;
        }
    }
    figures->memoryUsage = preadValue(memory.usage);
    if (figures->memoryUsage < 0) {
        return;
    }
    // The working set as the kubelet counts it: the usage less the file
    // cache the kernel would drop first.
    char text[8192];
    int64_t inactive = -1;
    if (preadText(memory.stat, text, sizeof text)) {
        inactive = parseKeyedValue(text, memory.version == 2 ? "inactive_file" : "total_inactive_file");
    }
    figures->memoryWorkingSet = figures->memoryUsage;
    if (inactive > 0) {
        figures->memoryWorkingSet = inactive < figures->memoryUsage ? figures->memoryUsage - inactive : 0;
    }
}

int32_t affinityCount()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return CPU_COUNT(&set);
    }
    // More processors than a cpu_set_t holds: ask with a mask that fits them.
    int configured = get_nprocs_conf();
    cpu_set_t* big = CPU_ALLOC(static_cast<size_t>(configured));
    if (big == nullptr) {
        return -1;
    }
    size_t size = CPU_ALLOC_SIZE(static_cast<size_t>(configured));
    int count = sched_getaffinity(0, size, big) == 0 ? CPU_COUNT_S(size, big) : -1;
    CPU_FREE(big);
    return count;
}

} // namespace

CgroupReader* cgroupOpen(const char* root)
{
    auto* reader = static_cast<CgroupReader*>(malloc(sizeof(CgroupReader)));
    char* mountinfo = static_cast<char*>(malloc(MOUNTINFO_SIZE));
    if (reader == nullptr || mountinfo == nullptr) {
        free(reader);
        free(mountinfo);
        return nullptr;
    }
    initFiles(&reader->cpu);
    initFiles(&reader->cpuacct);
    initFiles(&reader->memory);
    reader->cpuset = -1;
    char path[PATH_SIZE];
    snprintf(path, sizeof path, "%s/sys/devices/system/cpu/online", root);
    reader->online = open(path, O_RDONLY | O_CLOEXEC);
    char cgroupText[8192];
    snprintf(path, sizeof path, "%s/proc/self/cgroup", root);
    bool ok = readWhole(path, cgroupText, sizeof cgroupText);
    snprintf(path, sizeof path, "%s/proc/self/mountinfo", root);
    ok = ok && readWhole(path, mountinfo, MOUNTINFO_SIZE);
    if (ok) {
        static const char* const controllers[] = {"cpu", "cpuacct", "cpuset", "memory"};
        for (const char* controller : controllers) {
            openController(reader, root, cgroupText, mountinfo, controller);
        }
    }
    free(mountinfo);
    return reader;
}

void cgroupClose(CgroupReader* reader)
{
    if (reader == nullptr) {
        return;
    }
    closeFiles(&reader->cpu);
    closeFiles(&reader->cpuacct);
    closeFiles(&reader->memory);
    closeFd(&reader->cpuset);
    closeFd(&reader->online);
    free(reader);
}

CgroupReader* cgroupLiveReader()
{
    // Found once, on first use, by whichever thread gets here first.
    static CgroupReader* const live = getenv(CONTAINER_VIEW_SWITCH) != nullptr ? nullptr : cgroupOpen("");
    return live;
}

namespace {

void readCpuFigures(const CgroupReader* reader, bool everyPeriod, CgroupFigures* figures)
{
    *figures = CgroupFigures{-1, -1, -1, -1, -1, -1, -1};
    if (reader == nullptr) {
        return;
    }
    readCpuLimit(reader->cpu, everyPeriod, figures);
}

} // namespace

int64_t cgroupCpuUsage(CgroupReader* reader)
{
    char text[4096];
    if (reader == nullptr || !preadText(reader->cpuacct.usage, text, sizeof text)) {
        return -1;
    }
    if (reader->cpuacct.version == 1) {
        return parseCgroupValue(text);
    }
    int64_t micros = parseKeyedValue(text, "usage_usec");
    return micros >= 0 && micros <= INT64_MAX / 1000 ? micros * 1000 : -1;
}

int64_t monotonicNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void cgroupRead(CgroupReader* reader, CgroupFigures* figures)
{
    readCpuFigures(reader, true, figures);
    if (reader == nullptr) {
        return;
    }
    figures->cpuUsageNanos = cgroupCpuUsage(reader);
    char text[256];
    if (preadText(reader->cpuset, text, sizeof text)) {
        figures->cpusetCount = parseCpuList(text);
    }
    readMemory(reader->memory, figures);
}

CpuAllowance cpuAllowance(const CgroupFigures& figures, int32_t affinity, int32_t online)
{
    if (online <= 0) {
        online = 1;
    }
    int32_t available = affinity > 0 && affinity < online ? affinity : online;
    if (figures.cpusetCount > 0 && figures.cpusetCount < available) {
        available = figures.cpusetCount;
    }
    CpuAllowance allowance{available, static_cast<double>(available), false, online};
    if (figures.cpuQuotaMicros > 0 && figures.cpuPeriodMicros > 0) {
        double share = static_cast<double>(figures.cpuQuotaMicros) / static_cast<double>(figures.cpuPeriodMicros);
        if (share < allowance.fraction) {
            allowance.fraction = share;
            allowance.processors = static_cast<int32_t>(std::ceil(share));
        }
    }
    if (allowance.processors < 1) {
        allowance.processors = 1;
    }
    allowance.cpuLimited = allowance.fraction < static_cast<double>(online);
    return allowance;
}

CpuAllowance liveCpuAllowance(CgroupReader* reader, CgroupFigures* figures)
{
    readCpuFigures(reader, false, figures);
    // The processors online from the file kept open; get_nprocs (not
    // sysconf: inside the Solaris emulation sysconf is the emulation's own,
    // which asks this) opens and reads it anew, which costs more than the
    // rest of a sample.
    char text[256];
    int32_t online = reader != nullptr && preadText(reader->online, text, sizeof text) ? parseCpuList(text) : -1;
    if (online <= 0) {
        online = get_nprocs();
    }
    // The affinity mask holds the cpuset's processors.
    return cpuAllowance(*figures, reader != nullptr ? affinityCount() : -1, online);
}
