// The MAC addresses NTHostScout.dll reads under wine: through our iphlpapi.dll
// stand-in for the adapter lists wine cannot give, and through wine's own in
// a private network namespace.
#include "hostscout/win32/test/scout_test_support.h"

#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using scouttest::loadedStandin;
using scouttest::ScopedEnv;
using scouttest::Scout;
using win32test::captureStdout;
using win32test::ExportPatch;

namespace {

using MacAddresses = scouttest::ScoutTest;

std::vector<std::string> split(const std::string& list)
{
    std::vector<std::string> items;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        items.push_back(item);
    }
    return items;
}

TEST_F(MacAddresses, AdapterLists)
{
    HMODULE iphlpapi = loadedStandin("iphlpapi.dll");
    ASSERT_NE(iphlpapi, nullptr) << "run with QOR_WINEDLLOVERRIDES=iphlpapi=n";
    struct Case {
        const char* name;
        const char* adapters;
        const char* gaa;
        const char* gai;
        bool hideGaa;
        bool hideGai;
        std::optional<std::vector<std::string>> result; // nullopt: null
        const char* exception;                          // nullptr: none
    };
    const std::vector<std::string> one = {"00-1A-2B-3C-4D-5E"};
    const Case cases[] = {
        {"loopback and an Ethernet adapter", "lo,00-1A-2B-3C-4D-5E", "", "", false, false, one, nullptr},
        {"an 8-byte address", "01-02-03-04-05-06-07-08", "", "", false, false,
         std::vector<std::string>{"01-02-03-04-05-06-07-08"}, nullptr},
        {"a length beyond the 8 bytes of the record", "01-02-03-04-05-06-07-08-09", "", "", false, false,
         std::vector<std::string>{"01-02-03-04-05-06-07-08"}, nullptr},
        {"only loopback", "lo", "", "", false, false, std::nullopt, nullptr},
        {"addresses not supported", "lo,00-1A-2B-3C-4D-5E,lo,02-00-5E-10-00-01", "unsupported", "", false, false,
         std::vector<std::string>{"00-1A-2B-3C-4D-5E", "02-00-5E-10-00-01"}, nullptr},
        {"no GetAdaptersAddresses", "lo,00-1A-2B-3C-4D-5E", "", "", true, false, one, nullptr},
        {"neither function", "lo,00-1A-2B-3C-4D-5E", "", "", true, true, std::nullopt, nullptr},
        {"a list that grows", "lo,00-1A-2B-3C-4D-5E", "grow", "", false, false,
         std::vector<std::string>{"00-1A-2B-3C-4D-5E", "02-00-00-00-00-99"}, nullptr},
        {"a list that grows, other function", "lo,00-1A-2B-3C-4D-5E", "unsupported", "grow", false, false,
         std::vector<std::string>{"00-1A-2B-3C-4D-5E", "02-00-00-00-00-99"}, nullptr},
        {"a failing read", "lo,00-1A-2B-3C-4D-5E", "error", "", false, false, std::nullopt,
         "GetAdapersAddresses() returned error; rc=87"},
        {"a failing read, other function", "lo,00-1A-2B-3C-4D-5E", "unsupported", "error", false, false, std::nullopt,
         "GetAdapersInfo() returned error; rc2=87"},
    };
    for (const Case& c : cases) {
        ScopedEnv adapters("QOR_IPHLP_ADAPTERS", c.adapters);
        ScopedEnv gaa("QOR_IPHLP_GAA", c.gaa);
        ScopedEnv gai("QOR_IPHLP_GAI", c.gai);
        // Patched before the fresh copy looks the entries up.
        ExportPatch addresses(iphlpapi, "GetAdaptersAddresses",
                              c.hideGaa ? nullptr : procAddress<const void*>(iphlpapi, "GetAdaptersAddresses"));
        ExportPatch info(iphlpapi, "GetAdaptersInfo",
                         c.hideGai ? nullptr : procAddress<const void*>(iphlpapi, "GetAdaptersInfo"));
        Scout fresh;
        TestJniEnv env;
        jobjectArray result = fresh.getMacAddrsWin(env, nullptr);
        if (c.result) {
            ASSERT_NE(result, nullptr) << c.name;
            EXPECT_EQ(env.strings(result), *c.result) << c.name;
        } else {
            EXPECT_EQ(result, nullptr) << c.name;
        }
        std::optional<TestJniEnv::Exception> thrown = env.takeException();
        if (c.exception != nullptr) {
            ASSERT_TRUE(thrown.has_value()) << c.name;
            EXPECT_EQ(thrown->className, "java/lang/Exception") << c.name;
            EXPECT_EQ(thrown->message, c.exception) << c.name;
        } else {
            EXPECT_FALSE(thrown.has_value()) << c.name << ": " << thrown->message;
        }
    }
}

TEST_F(MacAddresses, NoJniCallWhileAnErrorIsPending)
{
    ASSERT_NE(loadedStandin("iphlpapi.dll"), nullptr) << "run with QOR_WINEDLLOVERRIDES=iphlpapi=n";
    ScopedEnv adapters("QOR_IPHLP_ADAPTERS", "02-00-00-00-00-01,02-00-00-00-00-02,02-00-00-00-00-03");
    struct Case {
        const char* name;
        const char* hiddenClass;
        int strings; // NewStringUTF succeeds this often (-1: always)
        const char* gaa;
        const char* pending;
    };
    const Case cases[] = {
        {"no String class", "java/lang/String", -1, "", "java/lang/NoClassDefFoundError"},
        {"no memory for the second text", nullptr, 1, "", "java/lang/OutOfMemoryError"},
        {"no Exception class", "java/lang/Exception", -1, "error", "java/lang/NoClassDefFoundError"},
    };
    for (const Case& c : cases) {
        ScopedEnv gaa("QOR_IPHLP_GAA", c.gaa);
        TestJniEnv env;
        if (c.hiddenClass != nullptr) {
            env.hideClass(c.hiddenClass);
        }
        env.failStringsAfter(c.strings);
        EXPECT_EQ(scout.getMacAddrsWin(env, nullptr), nullptr) << c.name;
        ASSERT_TRUE(env.exceptionPending()) << c.name;
        EXPECT_EQ(env.pending()->className, c.pending) << c.name;
        EXPECT_EQ(env.callsWhilePending(), 0) << c.name;
    }
}

TEST_F(MacAddresses, TraceLinesWhileTracingIsOn)
{
    ASSERT_NE(loadedStandin("iphlpapi.dll"), nullptr) << "run with QOR_WINEDLLOVERRIDES=iphlpapi=n";
    ScopedEnv adapters("QOR_IPHLP_ADAPTERS", "lo,00-1A-2B-3C-4D-5E");
    ScopedEnv gaa("QOR_IPHLP_GAA", "unsupported");
    const std::string load = "NetworkInterfaceUtil Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_loadDLL ";
    const std::string entry =
        "NetworkInterfaceUtil Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsWin ";
    const std::string format = "NetworkInterfaceUtil getMacAddress ";
    const std::vector<std::string> expected = {
        load + " modIphlpapi= 0",
        load + " LoadLibrary\\.\\. modIphlpapi= -?[0-9]+",
        load + " GetAdaptersAddresses; gaa= -?[0-9]+",
        load + " GetAdaptersInfo; gai= -?[0-9]+",
        entry + " First call to GetAdapterAddreses\\(\\); rc= 50",
        entry + " Second call to GetAdapterAddreses\\(\\); rc= 50",
        entry +
            "getApdatersAddresses\\(\\) returned ERROR_NOT_SUPPORTED\\. Trying GetAdaptersInfo\\(\\) next\\.\\. rc= 50",
        entry + " First call to GetAdaptersInfo\\(\\); rc2= 111",
        entry + " Second call to GetAdaptersInfo\\(\\); rc2= 0",
        entry + "getNumAdaptersGAI\\(\\) returned length= 1",
        entry + "pAdapterInfo->AddressLength= 0",
        entry + "pAdapterInfo->AddressLength= 6",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 3",
        format + "numChars= 2",
        format + "macAddr= 00-1A-2B-3C-4D-5E",
    };
    scout.enableNativeTracing(jni, nullptr, JNI_TRUE);
    std::string out = captureStdout([&] { scout.getMacAddrsWin(jni, nullptr); });
    std::vector<std::string> lines;
    std::stringstream in(out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), expected.size()) << out;
    for (size_t i = 0; i < lines.size(); i++) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
    }
    scout.enableNativeTracing(jni, nullptr, JNI_FALSE);
    EXPECT_EQ(captureStdout([&] { scout.getMacAddrsWin(jni, nullptr); }), "");
}

// Run in a private network namespace (cmake/wine-namespace.sh net), through
// wine's own iphlpapi.dll.
TEST_F(MacAddresses, OfTheNamespacesInterfaces)
{
    const char* expected = getenv("QOR_EXPECTED_MACS");
    ASSERT_NE(expected, nullptr) << "run in the namespace that wine-namespace.sh net makes";
    jobjectArray result = scout.getMacAddrsWin(jni, nullptr);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(jni.strings(result), split(expected));
    EXPECT_FALSE(jni.exceptionPending());
}

} // namespace
