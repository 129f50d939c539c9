// The platform line getCpuInfo prints once in the life of the library, and
// the isf field it writes only for a platform with a factor.  Its own binary,
// since the line depends on being the first call.
#include "common/test/test_jni_env.h"
#include "compat/sunos/fixture_source.h"

#include "com_qor_vt_mr_hostscout_unix_UnixHostScout.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

TEST(PlatformLine, PrintedOnTheFirstCallOnlyWithTheLowerCasedName)
{
    FixtureSource fixture;
    ScopedSource scoped(fixture);
    fixture.sysconfValues[_SC_NPROCESSORS_CONF] = 1;
    fixture.processors[0] = {P_ONLINE, 1200, false};
    TestJniEnv jni;

    struct Row {
        const char* platform;
        float isf; // 0: not written
    };
    const Row rows[] = {
        {"SUNW,Sun-Fire-T200", 0.3F},   {"SUNW,Sun-Fire-V490", 0.75F}, {"SUNW,Sun-Fire-E2900", 0.75F},
        {"SUNW,Sun-Fire-X4600", 0.75F}, {"SUNW,Sun-Fire-V240", 0.0F},  {"SUNW,Sun-Fire-T1000", 0.3F},
        {"SUNW,Netra-CP3060", 0.3F},    {"SUNW,Netra-T12", 0.0F},      {"i86pc", 0.0F},
    };
    bool first = true;
    for (const Row& row : rows) {
        fixture.platform = row.platform;
        jobject object = jni.newObject({{"cpus", "I"}, {"mhz", "I"}, {"isf", "F"}, {"membytes", "J"}});
        jni.field(object, "isf").f = 1.0F;
        testing::internal::CaptureStdout();
        Java_com_qor_vt_mr_hostscout_unix_UnixHostScout_getCpuInfo(jni.env(), object);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(first ? "platform: sunw,sun-fire-t200 isf: 0.300000\n" : "", out) << row.platform;
        first = false;
        if (row.isf == 0.0F) {
            EXPECT_EQ(0, jni.field(object, "isf").writes) << row.platform;
            EXPECT_EQ(1.0F, jni.field(object, "isf").f) << row.platform;
        } else {
            EXPECT_EQ(row.isf, jni.field(object, "isf").f) << row.platform;
        }
        EXPECT_EQ(1, jni.field(object, "cpus").i);
        EXPECT_EQ(1200, jni.field(object, "mhz").i);
    }
}

} // namespace
