// Children started as another user or group: the server keeps its own
// state, and large account entries are found.  These need root.
#include "procctl/process_error.h"
#include "procctl/unix/test/spawn_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

#define NEEDS_ROOT()                                                                                                   \
    if (geteuid() != 0) {                                                                                              \
        GTEST_SKIP() << "skipped: starting a child as another user or group needs root (running as uid " << geteuid()  \
                     << ")";                                                                                           \
    }

struct Credentials {
    const char* group;
    const char* user;
    int detached;
};

int spawnTrue(const Credentials& as)
{
    TestRecord rec;
    int sysErr = 0;
    char* args[] = {nullptr};
    int result = as.detached != 0 ? unix_CreateDetachedProcess("/bin/true", args, nullptr, nullptr, 20, nullptr, 022,
                                                               as.group, as.user, 0, rec.r, &sysErr)
                                  : unix_CreateProcess("/bin/true", args, nullptr, nullptr, 20, nullptr, 022, as.group,
                                                       as.user, 0, rec.r, &sysErr);
    if (result == PROC_SUCCESS) {
        unix_WaitForProcessTermination(rec.r, &sysErr);
    }
    return result;
}

// The child shares the server's memory until its exec, so its setuid and
// setgid would clear the server's "dumpable" flag with it: no core dump, no
// attaching JVM tools.
TEST(Credentials, TheServersDumpableFlagIsUnchanged)
{
    NEEDS_ROOT();
    const Credentials cases[] = {
        {nullptr, "nobody", 0}, {"nogroup", nullptr, 0}, {"nogroup", "nobody", 0}, {nullptr, "nobody", 1}};
    for (int initial : {1, 0}) {
        for (const Credentials& as : cases) {
            std::string status = inChild([&] {
                prctl(PR_SET_DUMPABLE, initial);
                int result = spawnTrue(as);
                int after = prctl(PR_GET_DUMPABLE);
                return result != PROC_SUCCESS ? 100 + result : after;
            });
            EXPECT_EQ(status, "exit " + std::to_string(initial))
                << "flag " << initial << ", group " << (as.group != nullptr ? as.group : "-") << ", user "
                << (as.user != nullptr ? as.user : "-") << (as.detached != 0 ? ", detached" : "");
        }
    }

    // Many at once, from many threads.
    std::string status = inChild([] {
        std::vector<std::thread> threads;
        int failures = 0;
        for (int t = 0; t < 8; t++) {
            threads.emplace_back([&failures] {
                for (int i = 0; i < 20; i++) {
                    if (spawnTrue({nullptr, "nobody", i % 5 == 0 ? 1 : 0}) != PROC_SUCCESS) {
                        __atomic_add_fetch(&failures, 1, __ATOMIC_RELAXED);
                    }
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        return failures != 0 ? 100 : prctl(PR_GET_DUMPABLE);
    });
    EXPECT_EQ(status, "exit 1") << "160 concurrent spawns as nobody";
}

// Copies `file` with `line` added, and binds the copy over it in a private
// mount namespace of the calling (single-threaded) process.
bool addAccountLine(const char* file, const std::string& line, const std::string& copy)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf() << line << "\n";
    std::ofstream(copy) << text.str();
    return mount(copy.c_str(), file, nullptr, MS_BIND, nullptr) == 0;
}

// A group or user whose database entry is larger than any fixed buffer
// (20 KB here) is still found.
TEST(Credentials, LargeAccountEntriesAreFound)
{
    NEEDS_ROOT();
    std::string members;
    for (int i = 0; i < 3000; i++) {
        members += (i > 0 ? ",m" : "m") + std::to_string(10000 + i);
    }
    std::string groupLine = "qorbiggroup:x:64002:" + members;
    std::string userLine = "qorbiguser:x:64001:64002:" + std::string(20000, 'g') + ":/:/bin/sh";
    char dir[] = "/tmp/procctl-accounts-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string base = dir;
    const Credentials cases[] = {{"qorbiggroup", nullptr, 0}, {nullptr, "qorbiguser", 0}};
    for (const Credentials& as : cases) {
        std::string status = inChild([&] {
            if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                return 77;
            }
            if (!addAccountLine("/etc/group", groupLine, base + "/group") ||
                !addAccountLine("/etc/passwd", userLine, base + "/passwd")) {
                return 77;
            }
            const char* script = as.user != nullptr ? "test \"$(id -u) $(id -g)\" = \"64001 64002\""
                                                    : "test \"$(id -u) $(id -g)\" = \"0 64002\"";
            int sysErr = 0;
            int code = -1;
            int result = runShell(script, nullptr, nullptr, &sysErr, &code, as.group, as.user);
            return result != PROC_SUCCESS ? 100 + result : code;
        });
        if (status == "exit 77") {
            GTEST_SKIP() << "skipped: no private mount namespace for a test account database";
        }
        EXPECT_EQ(status, "exit 0") << (as.group != nullptr ? as.group : as.user)
                                    << " (exit 100 + the result code when the spawn failed)";
    }
    unlink((base + "/group").c_str());
    unlink((base + "/passwd").c_str());
    rmdir(dir);
}

// A child of ours that the server may not signal (here the server gives up
// root after the spawn; likewise a program that makes itself root) is still
// waited for: its reap needs no permission.
TEST(Credentials, AChildThatMayNotBeSignalledIsStillWaitedFor)
{
    NEEDS_ROOT();
    std::string status = inChild([] {
        TestRecord rec;
        int sysErr = 0;
        char* args[] = {const_cast<char*>("-c"), const_cast<char*>("sleep 0.3; exit 4"), nullptr};
        if (unix_CreateProcess("/bin/sh", args, nullptr, nullptr, 20, nullptr, 022, nullptr, nullptr, 0, rec.r,
                               &sysErr) != PROC_SUCCESS) {
            return 90;
        }
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            return 91;
        }
        int result = unix_WaitForProcessTermination(rec.r, &sysErr);
        return result != PROC_SUCCESS ? 10 + result : rec.r->exitCode;
    });
    EXPECT_EQ(status, "exit 4") << "exit 10 + the wait's result otherwise";
}

} // namespace
