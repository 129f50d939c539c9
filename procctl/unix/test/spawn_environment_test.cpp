// The environment a child gets: the merge of the requested entries over the
// server's, its cost, and the server's environment as it was at create time.
#include "procctl/process_error.h"
#include "procctl/unix/test/spawn_test_support.h"
#include "procctl/unix/unix_spawn_plan.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

// The child's environment for `requested` over the server environment
// `server`, as the plan holds it.
std::vector<std::string> childEnvironment(std::vector<std::string> server, std::vector<std::string> requested)
{
    std::vector<char*> serverList;
    for (std::string& entry : server) {
        serverList.push_back(entry.data());
    }
    serverList.push_back(nullptr);
    std::vector<char*> requestedList;
    for (std::string& entry : requested) {
        requestedList.push_back(entry.data());
    }
    requestedList.push_back(nullptr);

    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    SpawnPlan plan{};
    int sysErr = 0;
    char** saved = environ;
    environ = serverList.data();
    UnixSpawnRequest request{"/bin/true", nullptr, requestedList.data(), nullptr, 20, nullptr, 022, nullptr, nullptr,
                             0,           nullptr};
    int result = unix_PrepareSpawnPlan(&plan, &request, argv, 0, &sysErr);
    environ = saved;
    std::vector<std::string> child;
    for (char** entry = plan.child.envp; result == PROC_SUCCESS && *entry != nullptr; entry++) {
        child.emplace_back(*entry);
    }
    unix_ReleaseSpawnPlan(&plan);
    return child;
}

// Every entry of `env` for `name`, in order.
std::string entriesOf(const std::vector<std::string>& env, const std::string& name)
{
    std::string found;
    for (const std::string& entry : env) {
        if (entry.compare(0, name.size() + 1, name + "=") == 0) {
            found += (found.empty() ? "" : " ") + entry;
        }
    }
    return found.empty() ? "(unset)" : found;
}

TEST(ChildEnvironment, RequestedEntriesOverTheServers)
{
    const std::vector<std::string> server = {"HOME=/root", "PATH=/usr/bin", "LD_LIBRARY_PATH=", "FOO=0"};
    struct Case {
        std::vector<std::string> requested;
        std::string name;
        std::string expected;
    } cases[] = {
        // A path-like variable without a value contributes nothing...
        {{"PATH"}, "PATH", "PATH=/usr/bin"},
        {{"PATH="}, "PATH", "PATH=/usr/bin"},
        {{"LD_LIBRARY_PATH"}, "LD_LIBRARY_PATH", "LD_LIBRARY_PATH="},
        {{"CLASSPATH"}, "CLASSPATH", "(unset)"},
        // ...and the merge never makes an empty element.
        {{"PATH=/a:"}, "PATH", "PATH=/a:/usr/bin"},
        {{"LD_LIBRARY_PATH=/x"}, "LD_LIBRARY_PATH", "LD_LIBRARY_PATH=/x"},
        {{"CLASSPATH=/c.jar"}, "CLASSPATH", "CLASSPATH=/c.jar"},
        // A name given twice is taken once, the last one winning.
        {{"PATH=/a", "PATH=/b"}, "PATH", "PATH=/b:/usr/bin"},
        {{"FOO=1", "FOO=2"}, "FOO", "FOO=2"},
        {{"FOO=1", "FOO"}, "FOO", "(unset)"},
        {{"FOO", "FOO=3"}, "FOO", "FOO=3"},
        {{"NEW=1", "NEW=2"}, "NEW", "NEW=2"},
        // A bare name of any other variable removes it.
        {{"HOME"}, "HOME", "(unset)"},
        {{"HOME="}, "HOME", "HOME="},
    };
    for (const Case& c : cases) {
        std::vector<std::string> env = childEnvironment(server, c.requested);
        std::string requested;
        for (const std::string& entry : c.requested) {
            requested += "[" + entry + "]";
        }
        EXPECT_EQ(entriesOf(env, c.name), c.expected) << requested;
        EXPECT_EQ(entriesOf(env, "HOME"), c.name == "HOME" ? c.expected : "HOME=/root") << requested;
    }
}

// With no environment list the child gets the server's environment as it was
// when create was called, whatever other threads set while the child's
// set-up is slow (here: its standard input is a FIFO without a writer).
TEST(ChildEnvironment, ServerEnvironmentIsTakenAtCreateTime)
{
    char dir[] = "/tmp/procctl-snapshot-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string fifo = std::string(dir) + "/fifo";
    std::string out = std::string(dir) + "/out";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("QOR_SNAPSHOT", "at-create", 1);

    int result = -1;
    std::thread spawner([&] {
        char* files[] = {fifo.data(), out.data(), nullptr};
        int sysErr = 0;
        result = runShell("echo \"$QOR_SNAPSHOT\"", nullptr, files, &sysErr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    setenv("QOR_SNAPSHOT", "changed-later", 1);
    for (int i = 0; i < 50; i++) {
        setenv(("QOR_SNAPSHOT_FILLER_" + std::to_string(i)).c_str(), "x", 1);
    }
    // The child's open of the FIFO goes on once a writer comes.
    int writer = -1;
    for (int i = 0; i < 1000 && writer < 0; i++) {
        writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    close(writer);
    spawner.join();

    std::ifstream in(out);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(result, PROC_SUCCESS);
    EXPECT_EQ(text.str(), "at-create\n");
    unsetenv("QOR_SNAPSHOT");
    for (int i = 0; i < 50; i++) {
        unsetenv(("QOR_SNAPSHOT_FILLER_" + std::to_string(i)).c_str());
    }
    unlink(fifo.c_str());
    unlink(out.c_str());
    rmdir(dir);
}

} // namespace
