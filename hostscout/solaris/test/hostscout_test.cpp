// Processors, memory and process sizes on a scripted system.
#include "common/test/test_jni_env.h"
#include "compat/sunos/fixture_source.h"
#include "hostscout/solaris/hostscout.h"

#include "com_qor_vt_mr_hostscout_process_ProcessDetectorImpl.h"
#include "com_qor_vt_mr_hostscout_unix_UnixHostScout.h"

#include <gtest/gtest.h>
#include <sys/processor.h>
#include <unistd.h>

namespace {

class HostScoutTest : public ::testing::Test {
  protected:
    FixtureSource fixture;
    ScopedSource scoped{fixture};
    TestJniEnv jni;

    jobject scout() { return jni.newObject({{"cpus", "I"}, {"mhz", "I"}, {"isf", "F"}, {"membytes", "J"}}); }
    jobject cpuInfo(long configured)
    {
        fixture.sysconfValues[_SC_NPROCESSORS_CONF] = configured;
        jobject object = scout();
        Java_com_qor_vt_mr_hostscout_unix_UnixHostScout_getCpuInfo(jni.env(), object);
        return object;
    }
    jobject detector(bool withPid, jint pid)
    {
        jobject object = withPid ? jni.newObject({{"pid", "I"}, {"residentSizeKb", "J"}, {"totalSizeKb", "J"}})
                                 : jni.newObject({{"residentSizeKb", "J"}, {"totalSizeKb", "J"}});
        if (withPid) {
            jni.field(object, "pid").i = pid;
        }
        // Sizes from an earlier call must be overwritten.
        jni.field(object, "residentSizeKb").j = -7;
        jni.field(object, "totalSizeKb").j = -7;
        return object;
    }
    void psinfo(pid_t pid, uint32_t sizeKb, uint32_t rssKb, size_t length = sizeof(psinfo_t))
    {
        psinfo_t info{};
        info.pr_pid = pid;
        info.pr_size = sizeKb;
        info.pr_rssize = rssKb;
        fixture.psinfos[pid] = {info, length};
    }
    std::string updateStats(jobject object)
    {
        testing::internal::CaptureStdout();
        Java_com_qor_vt_mr_hostscout_process_ProcessDetectorImpl__1updateProcessStats(jni.env(), object);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(HostScoutTest, ProcessorWalkGoesPastGapsUntilEveryConfiguredProcessorWasFound)
{
    fixture.processors[0] = {P_ONLINE, 1500, false};
    fixture.processors[1] = {P_ONLINE, 1500, false};
    fixture.processors[8] = {P_NOINTR, 1200, false};
    fixture.processors[9] = {P_ONLINE, 1201, false};
    jobject object = cpuInfo(4);
    EXPECT_EQ(4, jni.field(object, "cpus").i);
    EXPECT_EQ(1350, jni.field(object, "mhz").i); // 5401 / 4, truncated
}

TEST_F(HostScoutTest, OfflineProcessorsCountAsFoundButNotAsOnline)
{
    fixture.processors[0] = {P_ONLINE, 1000, false};
    fixture.processors[1] = {P_OFFLINE, 9000, false};
    fixture.processors[2] = {P_POWEROFF, 9000, false};
    fixture.processors[3] = {P_ONLINE, 2000, false};
    // Only three processors are configured: id 3 is never reached.
    jobject object = cpuInfo(3);
    EXPECT_EQ(1, jni.field(object, "cpus").i);
    EXPECT_EQ(1000, jni.field(object, "mhz").i);
}

TEST_F(HostScoutTest, ProcessorsThatCannotBeQueriedAreSkipped)
{
    fixture.processors[0] = {P_ONLINE, 1000, /*infoFails=*/true};
    fixture.processors[5] = {P_ONLINE, 3000, false};
    jobject object = cpuInfo(2);
    EXPECT_EQ(1, jni.field(object, "cpus").i);
    EXPECT_EQ(3000, jni.field(object, "mhz").i);
}

TEST_F(HostScoutTest, NoProcessorOnlineReportsZeroAndZero)
{
    fixture.processors[0] = {P_OFFLINE, 1000, false};
    jobject object = cpuInfo(1);
    EXPECT_EQ(0, jni.field(object, "cpus").i);
    EXPECT_EQ(0, jni.field(object, "mhz").i);
    EXPECT_EQ(1, jni.field(object, "mhz").writes);

    object = cpuInfo(0); // nothing configured: no walk at all
    EXPECT_EQ(0, jni.field(object, "cpus").i);
    EXPECT_EQ(1, jni.field(object, "cpus").writes);
}

TEST_F(HostScoutTest, MoreConfiguredThanExistStopsAtTheLastId)
{
    fixture.processors[16383] = {P_ONLINE, 800, false};
    fixture.processors[16384] = {P_ONLINE, 800, false}; // beyond the walk
    jobject object = cpuInfo(5);
    EXPECT_EQ(1, jni.field(object, "cpus").i);
}

TEST_F(HostScoutTest, MemoryIsPageSizeTimesPagesIn64Bits)
{
    fixture.sysconfValues[_SC_PAGESIZE] = 8192;
    fixture.sysconfValues[_SC_PHYS_PAGES] = 3 * 1024 * 1024; // 24 GiB
    jobject object = scout();
    Java_com_qor_vt_mr_hostscout_unix_UnixHostScout_getMemInfo(jni.env(), object);
    EXPECT_EQ(8192LL * 3 * 1024 * 1024, jni.field(object, "membytes").j);
}

TEST_F(HostScoutTest, ClassWithoutTheFieldsGetsTheLookupErrorNotACrash)
{
    fixture.sysconfValues[_SC_NPROCESSORS_CONF] = 0;
    jobject object = jni.newObject({{"cpus", "I"}});
    Java_com_qor_vt_mr_hostscout_unix_UnixHostScout_getCpuInfo(jni.env(), object);
    EXPECT_EQ(1, jni.field(object, "cpus").writes);
    EXPECT_EQ("java/lang/NoSuchFieldError", jni.exceptionClass());
    jni.takeException();
    Java_com_qor_vt_mr_hostscout_unix_UnixHostScout_getMemInfo(jni.env(), object);
    EXPECT_EQ("java/lang/NoSuchFieldError", jni.exceptionClass());
    EXPECT_EQ(0, jni.callsWhilePending());
}

TEST_F(HostScoutTest, ProcessSizesComeFromPsinfoWidenedWithoutSign)
{
    psinfo(4242, 0xFFFFFFF0U, 0x80000000U);
    jobject object = detector(true, 4242);
    EXPECT_EQ("", updateStats(object));
    EXPECT_EQ(0x80000000LL, jni.field(object, "residentSizeKb").j);
    EXPECT_EQ(0xFFFFFFF0LL, jni.field(object, "totalSizeKb").j);
    EXPECT_FALSE(jni.exceptionPending());
}

TEST_F(HostScoutTest, PidZeroOrNoPidFieldMeasuresTheCallingProcess)
{
    psinfo(getpid(), 2000, 1000);
    jobject object = detector(true, 0);
    updateStats(object);
    EXPECT_EQ(1000, jni.field(object, "residentSizeKb").j);
    EXPECT_EQ(2000, jni.field(object, "totalSizeKb").j);

    object = detector(false, 0);
    updateStats(object);
    EXPECT_EQ(1000, jni.field(object, "residentSizeKb").j);
    EXPECT_EQ(2000, jni.field(object, "totalSizeKb").j);
    EXPECT_FALSE(jni.exceptionPending()) << "the failed lookup of pid is cleared";
    EXPECT_EQ(0, jni.callsWhilePending());
}

TEST_F(HostScoutTest, ProcessThatIsGoneGivesZeroSizesQuietly)
{
    jobject object = detector(true, 999999);
    EXPECT_EQ("", updateStats(object));
    EXPECT_EQ(0, jni.field(object, "residentSizeKb").j);
    EXPECT_EQ(0, jni.field(object, "totalSizeKb").j);
}

TEST_F(HostScoutTest, ShortPsinfoReadSaysSoAndGivesZeroSizes)
{
    psinfo(4243, 2000, 1000, 100);
    jobject object = detector(true, 4243);
    EXPECT_EQ("error reading psinfo from /proc/4243/psinfo, bytesread=100\n", updateStats(object));
    EXPECT_EQ(0, jni.field(object, "residentSizeKb").j);
    EXPECT_EQ(0, jni.field(object, "totalSizeKb").j);

    psinfo(4244, 2000, 1000, 0);
    EXPECT_EQ("error reading psinfo from /proc/4244/psinfo, bytesread=0\n", updateStats(detector(true, 4244)));
}

TEST(PlatformSpeedFactor, TableRowByRow)
{
    struct Row {
        const char* platform;
        float isf;
    };
    const Row rows[] = {
        {"sunw,sun-fire-t200", 0.3F},
        {"sunw,sun-fire-t1000", 0.3F}, // "t100"
        {"sun fire t2000", 0.3F},
        {"sunw,sun-fire-v490", 0.75F},
        {"sunw,sun-fire-v890", 0.75F},
        {"sunw,sun-fire-e2900", 0.75F},
        {"sunw,sun-fire-e4900", 0.75F},
        {"sunw,sun-fire-e6900", 0.75F},
        {"sunw,sun-fire-x4600", 0.75F},
        {"sun fire x4100", 0.75F},
        {"sunw,sun-fire-v40z", 0.75F},
        {"sunw,sun-fire-v240", 0.0F},
        {"sunw,sun-fire-280r", 0.0F},
        // Loose matches, applied exactly as the table is written.
        {"sunw,sun-fire-v1280", 0.0F},
        {"sunw,sun-fire-15000e2", 0.75F},
        {"xsun-fire", 0.75F},
        {"sunw,netra-cp3060", 0.3F},
        {"sunw,netra-1290", 0.75F},
        {"sunw,netra-t2000-3020", 0.75F},
        {"sunw,netra-t12", 0.0F},
        {"sunw,netra-x4200", 0.0F},
        {"sunw,sun-fire-netra-t200", 0.3F},
        {"sunw,sun-blade-1000", 0.75F},
        {"sunw,ultra-grid", 0.75F},
        {"i86pc", 0.0F},
        {"sunw,sun-blade-netra", 0.0F},
        {"", 0.0F},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.isf, platformSpeedFactor(row.platform)) << row.platform;
    }
}

} // namespace
