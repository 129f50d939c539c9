// The cost of the container's CPU sample (its limits, the processors online
// and its usage counter, read again from files kept open) against one raw
// read of /proc/PID/stat, and of the meter's whole since-last-call sample of
// this process, in the same run: medians of rounds of many calls each.
// Prints "name microseconds" lines for bench/procload.sh.
#include "com_qor_vt_mr_rlm_procload_ProcLoad.h"
#include "common/linux/cgroup.h"
#include "procload/linux/cpu_utilisation.h"
#include "procload/linux/proc_stat.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

double microsPerCall(void (*call)(), int calls)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; i++) {
        call();
    }
    std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / calls;
}

char statPath[64];
int32_t selfPid;

void rawRead()
{
    char text[4096];
    int fd = open(statPath, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, text, sizeof text) < 0) {
            abort();
        }
        close(fd);
    }
}

void containerSample()
{
    CgroupFigures figures{};
    CgroupReader* reader = cgroupLiveReader();
    liveCpuAllowance(reader, &figures);
    if (cgroupCpuUsage(reader) == -2) {
        abort();
    }
}

void sample()
{
    double load = 0.0;
    getProcLoadLast(1, &selfPid, &load);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 11;
    const int calls = 2000;
    selfPid = getpid();
    snprintf(statPath, sizeof statPath, "/proc/%d/stat", selfPid);
    Java_com_qor_vt_mr_rlm_procload_ProcLoad_initStats(nullptr, nullptr, 0);
    sample(); // the slot, and the interval from here
    CgroupFigures figures{};
    CpuAllowance allowance = liveCpuAllowance(cgroupLiveReader(), &figures);
    printf("  container view %s: %d processors (%.2f), quota %lld / %lld us\n",
           cgroupLiveReader() == nullptr ? "off" : (allowance.cpuLimited ? "inside CPU limits" : "no CPU limits"),
           allowance.processors, allowance.fraction, static_cast<long long>(figures.cpuQuotaMicros),
           static_cast<long long>(figures.cpuPeriodMicros));
    void (*const measured[])() = {rawRead, containerSample, sample};
    const char* const names[] = {"raw", "container_sample", "sample"};
    std::vector<double> times[3];
    for (auto* call : measured) {
        microsPerCall(call, calls / 10);
    }
    for (int r = 0; r < rounds; r++) {
        for (int i = 0; i < 3; i++) {
            times[i].push_back(microsPerCall(measured[i], calls));
        }
    }
    for (int i = 0; i < 3; i++) {
        printf("%s %.3f\n", names[i], median(times[i]));
    }
    return 0;
}
