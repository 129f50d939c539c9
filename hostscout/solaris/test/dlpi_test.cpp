// MAC addresses over DLPI from scripted providers, the trace lines, the
// address text and the EBCDIC table.
#include "common/test/test_jni_env.h"
#include "compat/sunos/fixture_source.h"
#include "hostscout/solaris/hostscout.h"

#include "com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <optional>
#include <string>
#include <sys/dlpi.h>
#include <vector>

namespace {

const std::vector<unsigned char> bgeAddress = {0x00, 0x14, 0x4F, 0xA2, 0x3B, 0x1C};

int openDescriptors()
{
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir)) {
        n += e->d_name[0] != '.' ? 1 : 0;
    }
    closedir(dir);
    return n;
}

class DlpiTest : public ::testing::Test {
  protected:
    FixtureSource fixture;
    ScopedSource scoped{fixture};
    TestJniEnv jni;
    int descriptorsBefore = openDescriptors();

    void TearDown() override
    {
        Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_enableNativeTracing(jni.env(), nullptr, JNI_FALSE);
        EXPECT_EQ(0, jni.unreleased()) << "array elements or characters left pinned";
        EXPECT_EQ(0, jni.callsWhilePending());
        EXPECT_EQ(descriptorsBefore, openDescriptors()) << "a device left open";
    }

    // The devices as a String[] (a null entry is a null element).
    jobjectArray macs(const std::vector<const char*>& devices, const std::vector<jint>& ppas)
    {
        std::vector<std::optional<std::string>> names;
        for (const char* device : devices) {
            names.push_back(device != nullptr ? std::optional<std::string>(device) : std::nullopt);
        }
        return Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun(
            jni.env(), nullptr, jni.stringArray(names), jni.intArray(ppas));
    }
};

TEST_F(DlpiTest, OneDeviceGivesItsAddressAsText)
{
    fixture.addEthernet("bge", 0, bgeAddress);
    jobjectArray result = macs({"/dev/bge"}, {0});
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(std::vector<std::string>{"00-14-4F-A2-3B-1C"}, jni.strings(result));
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_EQ((std::vector<std::string>{"attach bge 0", "bind bge 0 22"}), fixture.requests);
}

TEST_F(DlpiTest, SeveralDevicesInOrder)
{
    fixture.addEthernet("bge", 1, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    fixture.addEthernet("e1000g", 0, {0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
    jobjectArray result = macs({"/dev/e1000g", "/dev/bge"}, {0, 1});
    ASSERT_NE(nullptr, result);
    EXPECT_EQ((std::vector<std::string>{"02-00-00-00-00-01", "AA-BB-CC-DD-EE-FF"}), jni.strings(result));
}

TEST_F(DlpiTest, MissingMismatchedOrEmptyArraysGiveNullWithoutException)
{
    fixture.addEthernet("bge", 0, bgeAddress);
    JNIEnv* env = jni.env();
    EXPECT_EQ(nullptr, Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun(env, nullptr, nullptr,
                                                                                           jni.intArray({0})));
    EXPECT_EQ(nullptr, Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun(
                           env, nullptr, jni.stringArray({"/dev/bge"}), nullptr));
    EXPECT_EQ(nullptr, macs({}, {}));
    EXPECT_EQ(nullptr, macs({"/dev/bge"}, {0, 1})) << "more interface numbers than devices";
    EXPECT_EQ(nullptr, macs({"/dev/bge", "/dev/bge"}, {0})) << "fewer interface numbers than devices";
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_TRUE(fixture.requests.empty());
}

TEST_F(DlpiTest, SecondDeviceMissingAfterAWorkingOneThrowsTheOpenError)
{
    fixture.addEthernet("bge", 0, bgeAddress);
    jobjectArray result = macs({"/dev/bge", "/dev/qfe", "/dev/bge"}, {0, 0, 0});
    ASSERT_TRUE(jni.exceptionPending());
    EXPECT_EQ("java/lang/Exception", jni.exceptionClass());
    EXPECT_EQ("dlopen() returned error; rc=128", jni.exceptionMessage());
    ASSERT_NE(nullptr, result);
    EXPECT_EQ((std::vector<std::string>{"00-14-4F-A2-3B-1C", "<null>", "<null>"}), jni.strings(result));
    EXPECT_EQ(2U, fixture.requests.size()) << "the walk ends at the failing device";
}

TEST_F(DlpiTest, AttachRefusedOrInterruptedIsAnOpenError)
{
    fixture.links["bge"].replies[0] = {FixtureSource::errorAck(DL_BADPPA), FixtureSource::ack()};
    EXPECT_EQ(nullptr, macs({"/dev/bge"}, {0}));
    EXPECT_EQ("dlopen() returned error; rc=128", jni.exceptionMessage());
    jni.takeException();

    DlpiReply interrupted{};
    interrupted.kind = DlpiReply::Interrupted;
    fixture.links["bge"].replies[0] = {interrupted, FixtureSource::ack()};
    EXPECT_EQ(nullptr, macs({"/dev/bge"}, {0}));
    EXPECT_EQ("dlopen() returned error; rc=128", jni.exceptionMessage());
    jni.takeException();

    fixture.links["bge"].openError = EACCES;
    EXPECT_EQ(nullptr, macs({"/dev/bge"}, {0}));
    EXPECT_EQ("dlopen() returned error; rc=128", jni.exceptionMessage());
}

TEST_F(DlpiTest, BindRefusedUnexpectedOrTooLongIsABindError)
{
    DlpiReply otherPrimitive{};
    otherPrimitive.kind = DlpiReply::Primitive;
    otherPrimitive.primitive = DL_OK_ACK;
    std::vector<unsigned char> nineBytes = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const DlpiReply bindReplies[] = {FixtureSource::errorAck(DL_NOADDR), otherPrimitive,
                                     FixtureSource::bindAck(nineBytes)};
    for (const DlpiReply& bind : bindReplies) {
        fixture.links["bge"].replies[0] = {FixtureSource::ack(), bind};
        EXPECT_EQ(nullptr, macs({"/dev/bge"}, {0}));
        EXPECT_TRUE(jni.exceptionPending());
        EXPECT_EQ("dlbind() returned error; rc=128", jni.exceptionMessage());
        jni.takeException();
    }
    // Exactly 8 bytes (address and SAP) is the longest accepted.
    fixture.links["bge"].replies[0] = {FixtureSource::ack(), FixtureSource::bindAck({9, 8, 7, 6, 5, 4, 3, 2})};
    jobjectArray result = macs({"/dev/bge"}, {0});
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(std::vector<std::string>{"09-08-07-06-05-04"}, jni.strings(result));
}

TEST_F(DlpiTest, BadDeviceNamesAndNegativePpasAreRefusedBeforeTheDriver)
{
    fixture.addEthernet("bge", 0, bgeAddress);
    std::string longName = "/dev/" + std::string(5000, 'b');
    const std::vector<std::pair<std::vector<const char*>, std::vector<jint>>> cases = {
        {{"/dev/bge"}, {-1}},
        {{longName.c_str()}, {0}},
        {{nullptr}, {0}},
    };
    for (const auto& [devices, ppas] : cases) {
        EXPECT_EQ(nullptr, macs(devices, ppas));
        EXPECT_EQ("dlopen() returned error; rc=128", jni.exceptionMessage());
        jni.takeException();
    }
    EXPECT_TRUE(fixture.requests.empty());
}

TEST_F(DlpiTest, StringThatCannotBeConvertedEndsTheWalkWithItsErrorPending)
{
    // No JNI call may follow the pending OutOfMemoryError (TearDown counts them).
    fixture.addEthernet("bge", 0, bgeAddress);
    jni.failStringChars(true);
    EXPECT_EQ(nullptr, macs({"/dev/bge", "/dev/bge"}, {0, 0}));
    EXPECT_EQ("java/lang/OutOfMemoryError", jni.exceptionClass());
    EXPECT_TRUE(fixture.requests.empty());
    jni.takeException();
    jni.failStringChars(false);

    jni.failStringsAfter(0);
    jobjectArray result = macs({"/dev/bge", "/dev/bge"}, {0, 0});
    EXPECT_EQ("java/lang/OutOfMemoryError", jni.exceptionClass());
    ASSERT_NE(nullptr, result);
    EXPECT_EQ((std::vector<std::string>{"<null>", "<null>"}), jni.strings(result));
    EXPECT_EQ(2U, fixture.requests.size()) << "the walk ends at the first device";
    jni.takeException();
}

TEST_F(DlpiTest, TraceLinesOfOneDevice)
{
    fixture.addEthernet("bge", 0, bgeAddress);
    Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_enableNativeTracing(jni.env(), nullptr, JNI_TRUE);
    testing::internal::CaptureStdout();
    macs({"/dev/bge"}, {0});
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    const std::string entry =
        "NetworkInterfaceUtil Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun ";
    std::string expected = entry + "jobjArr length= 1\n" + entry + "jintArr length= 1\n" + entry +
                           "deviceName= /dev/bge\n" + entry + "intfNum= 0\n" +
                           "dlopen::put_ctrl, rc=0\n"
                           "dlopen::get_msg, rc=1\n" +
                           entry + "dlopen rc= 0\n" +
                           "dlbind::put_ctrl, rc=0\n"
                           "dlbind::get_msg, rc=1\n"
                           "dl_bind: bind_ack->dl_addr_length=8\n"
                           "dlbind: size of u_char=1, size of llc_dladdr_p->dl_mac=6\n"
                           "dlbind: mac_length=6\n" +
                           entry + "dlbind rc= 6\n";
    for (int i = 0; i < 5; i++) {
        expected += "NetworkInterfaceUtil getMacAddress numChars= 3\n";
    }
    expected += "NetworkInterfaceUtil getMacAddress numChars= 2\n"
                "NetworkInterfaceUtil getMacAddress macAddr= 00-14-4F-A2-3B-1C\n";
    EXPECT_EQ(expected, out);
}

TEST_F(DlpiTest, TraceOfNullArgumentsAndSilenceWhenOff)
{
    Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_enableNativeTracing(jni.env(), nullptr, JNI_TRUE);
    testing::internal::CaptureStdout();
    Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun(jni.env(), nullptr, nullptr, nullptr);
    Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun(jni.env(), nullptr, jni.stringArray({"/dev/x"}),
                                                                        nullptr);
    fflush(stdout);
    EXPECT_EQ("NetworkInterfaceUtil Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun "
              "jobjArr argument is NULL\n"
              "NetworkInterfaceUtil Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun "
              "jintArr argument is NULL\n",
              testing::internal::GetCapturedStdout());

    fixture.addEthernet("bge", 0, bgeAddress);
    Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_enableNativeTracing(jni.env(), nullptr, JNI_FALSE);
    testing::internal::CaptureStdout();
    macs({"/dev/bge", "/dev/none"}, {0, 0});
    fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    jni.takeException();
}

TEST(GetMacAddress, ShortAndEmptyAddresses)
{
    const unsigned char mac[] = {0x0A, 0xFF, 0x00};
    char text[32];
    getMacAddress(text, mac, 1);
    EXPECT_STREQ("0A", text);
    getMacAddress(text, mac, 3);
    EXPECT_STREQ("0A-FF-00", text);
    getMacAddress(text, mac, 0);
    EXPECT_STREQ("", text);
    getMacAddress(text, mac, -1);
    EXPECT_STREQ("", text);
}

TEST(DoAtoE, TranslatesIncludingTheTerminator)
{
    char target[8];
    memset(target, 0x55, sizeof target);
    EXPECT_EQ(target, doAtoE("AB", target));
    EXPECT_EQ('\xC1', target[0]);
    EXPECT_EQ('\xC2', target[1]);
    EXPECT_EQ('\0', target[2]);
    EXPECT_EQ('\x55', target[3]) << "nothing past the terminator";

    doAtoE("\n[", target);
    EXPECT_EQ('\x15', target[0]);
    EXPECT_EQ('\xAD', target[1]);
}

TEST(DoAtoE, WholeTableAgreesWithTheCodePageOfTheCLibrary)
{
    // The C library's code page 1047 maps LF to 0x25 and NEL (0x85) to 0x15; the
    // table here has newline as NL (0x15), and so NEL as 0x25.
    iconv_t cd = iconv_open("CP1047", "ISO-8859-1");
    ASSERT_NE(reinterpret_cast<iconv_t>(-1), cd);
    for (int c = 1; c < 256; c++) {
        char in[1] = {static_cast<char>(c)};
        char out[4] = {};
        char* inp = in;
        char* outp = out;
        size_t inLeft = 1;
        size_t outLeft = sizeof out;
        ASSERT_NE(static_cast<size_t>(-1), iconv(cd, &inp, &inLeft, &outp, &outLeft));
        auto expected = static_cast<unsigned char>(out[0]);
        if (c == 0x0A) {
            expected = 0x15;
        } else if (c == 0x85) {
            expected = 0x25;
        }
        char source[2] = {static_cast<char>(c), '\0'};
        char target[2];
        doAtoE(source, target);
        EXPECT_EQ(expected, static_cast<unsigned char>(target[0])) << "byte " << c;
    }
    iconv_close(cd);
}

} // namespace
