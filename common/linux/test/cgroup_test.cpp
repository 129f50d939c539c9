// The control-group reader on fixture trees that stand in for /: one case per
// machine layout or fault, each with the files it has and the figures and
// allowance it must give.
#include "common/linux/cgroup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

using Files = std::map<std::string, std::string>;

constexpr int64_t MiB = 1024 * 1024;

const char* const V1_MOUNTS = "30 23 0:27 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
                              "31 23 0:28 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
                              "32 23 0:29 / /sys/fs/cgroup/cpuset rw - cgroup cgroup rw,cpuset\n";
const char* const V2_MOUNT = "40 23 0:30 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";

struct Case {
    const char* name;
    Files files;
    CgroupFigures figures;
    int32_t processors; // of 4 online, all in the affinity mask
    double fraction;
};

const Case cases[] = {
    {"v1 with a half-processor quota and 512 MiB",
     {{"proc/self/cgroup", "4:memory:/docker/c1\n3:cpuset:/docker/c1\n2:cpu,cpuacct:/docker/c1\n"},
      {"proc/self/mountinfo", V1_MOUNTS},
      {"sys/fs/cgroup/cpu,cpuacct/docker/c1/cpu.cfs_quota_us", "50000\n"},
      {"sys/fs/cgroup/cpu,cpuacct/docker/c1/cpu.cfs_period_us", "100000\n"},
      {"sys/fs/cgroup/cpu,cpuacct/docker/c1/cpuacct.usage", "123456789\n"},
      {"sys/fs/cgroup/cpuset/docker/c1/cpuset.cpus", "0-1,3\n"},
      {"sys/fs/cgroup/memory/docker/c1/memory.limit_in_bytes", "536870912\n"},
      {"sys/fs/cgroup/memory/docker/c1/memory.usage_in_bytes", "104857600\n"},
      {"sys/fs/cgroup/memory/docker/c1/memory.stat", "cache 1\ninactive_file 7\ntotal_inactive_file 4194304\n"}},
     {50000, 100000, 123456789, 512 * MiB, 100 * MiB, 96 * MiB, 3},
     1,
     0.5},
    {"v2 with one and a half processors on a cpuset of two",
     {{"proc/self/cgroup", "0::/kubepods/pod1\n"},
      {"proc/self/mountinfo", V2_MOUNT},
      {"sys/fs/cgroup/kubepods/pod1/cpu.max", "150000 100000\n"},
      {"sys/fs/cgroup/kubepods/pod1/cgroup.type", "domain\n"},
      {"sys/fs/cgroup/kubepods/pod1/cpu.stat", "usage_usec 2500\nuser_usec 2000\n"},
      {"sys/fs/cgroup/kubepods/pod1/cpuset.cpus.effective", "2-3\n"},
      {"sys/fs/cgroup/kubepods/pod1/memory.max", "1073741824\n"},
      {"sys/fs/cgroup/kubepods/pod1/memory.current", "209715200\n"},
      {"sys/fs/cgroup/kubepods/pod1/memory.stat", "anon 5\nactive_file 9\ninactive_file 10485760\n"}},
     {150000, 100000, 2500000, 1024 * MiB, 200 * MiB, 190 * MiB, 2},
     2,
     1.5},
    {"hybrid: v1 controllers beside a v2 mount without them",
     {{"proc/self/cgroup", "4:memory:/m\n2:cpu,cpuacct:/c\n0::/\n"},
      {"proc/self/mountinfo", std::string(V1_MOUNTS) + "41 23 0:31 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"},
      {"sys/fs/cgroup/cpu,cpuacct/c/cpu.cfs_quota_us", "200000\n"},
      {"sys/fs/cgroup/cpu,cpuacct/c/cpu.cfs_period_us", "100000\n"},
      {"sys/fs/cgroup/cpu,cpuacct/c/cpuacct.usage", "5\n"},
      {"sys/fs/cgroup/unified/cpu.stat", "usage_usec 999999\n"},
      {"sys/fs/cgroup/unified/cpu.max", "10000 100000\n"},
      {"sys/fs/cgroup/memory/m/memory.limit_in_bytes", "9223372036854771712\n"},
      {"sys/fs/cgroup/memory/m/memory.usage_in_bytes", "4096\n"}},
     {200000, 100000, 5, -1, 4096, 4096, -1},
     2,
     2.0},
    {"nested groups: the tighter parent decides",
     {{"proc/self/cgroup", "0::/a/b\n"},
      {"proc/self/mountinfo", V2_MOUNT},
      {"sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
      {"sys/fs/cgroup/a/cpu.max", "25000 50000\n"},
      {"sys/fs/cgroup/cpu.max", "300000 100000\n"},
      {"sys/fs/cgroup/a/b/memory.max", "1073741824\n"},
      {"sys/fs/cgroup/a/memory.max", "268435456\n"},
      {"sys/fs/cgroup/a/b/memory.current", "1048576\n"}},
     {25000, 50000, -1, 256 * MiB, MiB, MiB, -1},
     1,
     0.5},
    {"\"max\" everywhere is no limit",
     {{"proc/self/cgroup", "0::/svc\n"},
      {"proc/self/mountinfo", V2_MOUNT},
      {"sys/fs/cgroup/svc/cpu.max", "max 100000\n"},
      {"sys/fs/cgroup/svc/memory.max", "max\n"},
      {"sys/fs/cgroup/svc/memory.current", "8192\n"}},
     {-1, 100000, -1, -1, 8192, 8192, -1},
     4,
     4.0},
    {"cgroup namespace: the group is the mount's top",
     {{"proc/self/cgroup", "0::/\n"},
      {"proc/self/mountinfo", "50 40 0:26 / /sys/fs/cgroup ro,nosuid - cgroup2 cgroup2 rw,nsdelegate\n"},
      {"sys/fs/cgroup/cpu.max", "100000 100000\n"},
      {"sys/fs/cgroup/memory.max", "67108864\n"}},
     {100000, 100000, -1, 64 * MiB, -1, -1, -1},
     1,
     1.0},
    {"missing controller: memory neither in the group list nor mounted",
     {{"proc/self/cgroup", "2:cpu,cpuacct:/c\n"},
      {"proc/self/mountinfo", "30 23 0:27 / /sys/fs/cgroup/cpu\\054cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"},
      {"sys/fs/cgroup/cpu,cpuacct/c/cpu.cfs_quota_us", "-1\n"},
      {"sys/fs/cgroup/cpu,cpuacct/c/cpu.cfs_period_us", "100000\n"}},
     {-1, 100000, -1, -1, -1, -1, -1},
     4,
     4.0},
    {"v2 root group: its usage counter is the machine's, not a container's",
     {{"proc/self/cgroup", "0::/\n"},
      {"proc/self/mountinfo", V2_MOUNT},
      {"sys/fs/cgroup/cpu.stat", "usage_usec 777\n"}},
     {-1, -1, -1, -1, -1, -1, -1},
     4,
     4.0},
    {"v1 root group: its usage counter is the machine's, not a container's",
     {{"proc/self/cgroup", "2:cpu,cpuacct:/\n"},
      {"proc/self/mountinfo", V1_MOUNTS},
      {"sys/fs/cgroup/cpu,cpuacct/cgroup.sane_behavior", "0\n"},
      {"sys/fs/cgroup/cpu,cpuacct/cpuacct.usage", "777\n"},
      {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"}},
     {-1, -1, -1, -1, -1, -1, -1},
     4,
     4.0},
    {"garbage values are no limit and no figure",
     {{"proc/self/cgroup", "4:memory:/g\n2:cpu,cpuacct:/g\n"},
      {"proc/self/mountinfo", V1_MOUNTS},
      {"sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_quota_us", "fifty\n"},
      {"sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_period_us", "100000x\n"},
      {"sys/fs/cgroup/cpu,cpuacct/g/cpuacct.usage", "99999999999999999999999\n"},
      {"sys/fs/cgroup/memory/g/memory.limit_in_bytes", "\n"},
      {"sys/fs/cgroup/memory/g/memory.usage_in_bytes", "-5\n"}},
     {-1, -1, -1, -1, -1, -1, -1},
     4,
     4.0},
};

// A fixture tree in a fresh temporary directory, removed with the object.
class Tree {
  public:
    explicit Tree(const Files& files)
    {
        char pattern[] = "/tmp/cgroup-test-XXXXXX";
        root_ = mkdtemp(pattern);
        for (const auto& [path, text] : files) {
            write(path, text);
        }
    }
    ~Tree() { std::filesystem::remove_all(root_); }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    void write(const std::string& path, const std::string& text) const
    {
        std::filesystem::path full = std::filesystem::path(root_) / path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full) << text;
    }
    const char* root() const { return root_.c_str(); }

  private:
    std::string root_;
};

TEST(CgroupReader, FiguresAndAllowanceOfEachLayout)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree(c.files);
        CgroupReader* reader = cgroupOpen(tree.root());
        ASSERT_NE(reader, nullptr);
        CgroupFigures f{};
        cgroupRead(reader, &f);
        EXPECT_EQ(f.cpuQuotaMicros, c.figures.cpuQuotaMicros);
        EXPECT_EQ(f.cpuPeriodMicros, c.figures.cpuPeriodMicros);
        EXPECT_EQ(f.cpuUsageNanos, c.figures.cpuUsageNanos);
        EXPECT_EQ(f.memoryLimit, c.figures.memoryLimit);
        EXPECT_EQ(f.memoryUsage, c.figures.memoryUsage);
        EXPECT_EQ(f.memoryWorkingSet, c.figures.memoryWorkingSet);
        EXPECT_EQ(f.cpusetCount, c.figures.cpusetCount);
        CpuAllowance allowance = cpuAllowance(f, 4, 4);
        EXPECT_EQ(allowance.processors, c.processors);
        EXPECT_DOUBLE_EQ(allowance.fraction, c.fraction);
        EXPECT_EQ(allowance.cpuLimited, c.fraction < 4.0);
        cgroupClose(reader);
    }
}

TEST(CgroupReader, AResizedContainerIsSeenAtTheNextReading)
{
    Tree tree({{"proc/self/cgroup", "0::/c\n"},
               {"proc/self/mountinfo", V2_MOUNT},
               {"sys/fs/cgroup/c/cpu.max", "50000 100000\n"},
               {"sys/fs/cgroup/c/memory.max", "1048576\n"}});
    CgroupReader* reader = cgroupOpen(tree.root());
    CgroupFigures f{};
    cgroupRead(reader, &f);
    EXPECT_EQ(f.cpuQuotaMicros, 50000);
    tree.write("sys/fs/cgroup/c/cpu.max", "200000 100000\n");
    tree.write("sys/fs/cgroup/c/memory.max", "max\n");
    cgroupRead(reader, &f);
    EXPECT_EQ(f.cpuQuotaMicros, 200000);
    EXPECT_EQ(f.memoryLimit, -1);
    cgroupClose(reader);
}

TEST(CgroupReader, NoTreeAtAllIsNoLimit)
{
    Tree tree({});
    CgroupReader* reader = cgroupOpen(tree.root());
    CgroupFigures f{};
    cgroupRead(reader, &f);
    EXPECT_EQ(f.cpuQuotaMicros, -1);
    EXPECT_EQ(f.memoryLimit, -1);
    EXPECT_FALSE(cpuAllowance(f, 2, 2).cpuLimited);
    cgroupClose(reader);
}

} // namespace
