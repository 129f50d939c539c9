// The diagnostic log, observed from forked children that switch it on
// through their environment and write to a pipe in place of stdout.
#include "procctl/process_env.h"
#include "procctl/process_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Switches = std::vector<std::pair<const char*, const char*>>;

// Runs body in a forked child whose environment holds exactly the given log
// switches, after the child read them; returns what the child wrote to stdout.
std::string runLogged(const Switches& switches, const std::function<void()>& body)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        unsetenv("__JNI_PROCESS_DEBUG");
        unsetenv("$$TRACE");
        unsetenv("__JNI_PROCESS_ENTRYEXIT");
        for (const auto& [name, value] : switches) {
            setenv(name, value, 1);
        }
        process_log_init_dbg();
        body();
        fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) {
        out.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return out;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

const std::regex linePattern(R"(Time: \[0x([0-9a-f]+)\], Process: \[([0-9]+)\], Thread: \[0x[0-9a-f]+\]: ([\s\S]*))");

void writeEverything()
{
    process_log("plain %d\n", 7);
    process_log_entry("Op()");
    process_log_exit("Op()");
}

TEST(ProcessLog, SilentUnlessDebugSwitchExists)
{
    EXPECT_EQ(runLogged({}, writeEverything), "");
    EXPECT_EQ(runLogged({{"__JNI_PROCESS_ENTRYEXIT", "1"}}, writeEverything), "");
}

TEST(ProcessLog, EitherDebugSwitchCountsEvenWhenEmpty)
{
    for (const char* name : {"__JNI_PROCESS_DEBUG", "$$TRACE"}) {
        std::string out = runLogged({{name, ""}}, writeEverything);
        std::vector<std::string> lines = linesOf(out);
        ASSERT_EQ(lines.size(), 1U) << name << ": " << out;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[0], m, linePattern)) << lines[0];
        EXPECT_EQ(m[3].str(), "plain 7\n");
        long stamp = strtol(m[1].str().c_str(), nullptr, 16);
        EXPECT_LE(std::labs(stamp - static_cast<long>(time(nullptr))), 5);
    }
}

TEST(ProcessLog, EntryAndExitLinesNeedBothSwitches)
{
    std::string out = runLogged({{"__JNI_PROCESS_DEBUG", "1"}, {"__JNI_PROCESS_ENTRYEXIT", ""}}, writeEverything);
    std::vector<std::string> lines = linesOf(out);
    ASSERT_EQ(lines.size(), 3U) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[1], m, linePattern));
    EXPECT_EQ(m[3].str(), "> entering: [Op()]\n");
    ASSERT_TRUE(std::regex_match(lines[2], m, linePattern));
    EXPECT_EQ(m[3].str(), "< exiting: [Op()]\n");

    // A null name or a null format writes nothing.
    out = runLogged({{"__JNI_PROCESS_DEBUG", "1"}, {"__JNI_PROCESS_ENTRYEXIT", ""}}, [] {
        process_log_entry(nullptr);
        process_log_exit(nullptr);
        process_log(nullptr);
    });
    EXPECT_EQ(out, "");
}

TEST(ProcessLog, LongMessageIsCutTo1947Characters)
{
    std::string out = runLogged({{"__JNI_PROCESS_DEBUG", "1"}}, [] {
        std::string text(3000, 'x');
        process_log("%s\n", text.c_str());
    });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, linePattern)) << out.substr(0, 100);
    EXPECT_EQ(m[3].str(), std::string(1947, 'x'));
    EXPECT_LE(out.size(), 2047U);
}

TEST(ProcessLog, ForkedChildPrintsItsOwnPid)
{
    std::string out = runLogged({{"__JNI_PROCESS_DEBUG", "1"}}, [] {
        process_log("parent\n");
        fflush(stdout);
        pid_t grandchild = fork();
        if (grandchild == 0) {
            process_log_init_dbg();
            process_log("child\n");
            fflush(stdout);
            _exit(0);
        }
        waitpid(grandchild, nullptr, 0);
        printf("grandchild=%d\n", static_cast<int>(grandchild));
    });
    std::vector<std::string> lines = linesOf(out);
    ASSERT_EQ(lines.size(), 3U) << out;
    std::smatch parent;
    std::smatch child;
    ASSERT_TRUE(std::regex_match(lines[0], parent, linePattern));
    ASSERT_TRUE(std::regex_match(lines[1], child, linePattern));
    EXPECT_EQ(child[3].str(), "child\n");
    EXPECT_EQ(lines[2], "grandchild=" + child[2].str() + "\n");
    EXPECT_NE(parent[2].str(), child[2].str());
}

TEST(ProcessLog, KeyRoutinesTraceUnderTheirOwnNames)
{
    std::string out = runLogged({{"__JNI_PROCESS_DEBUG", "1"}, {"__JNI_PROCESS_ENTRYEXIT", "1"}},
                                [] { EXPECT_EQ(TestKeys("PATH=/a", "path=/b"), 0); });
    std::vector<std::string> messages;
    for (const std::string& line : linesOf(out)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, linePattern)) << line;
        messages.push_back(m[3].str());
    }
    std::vector<std::string> keyPart = {
        "> entering: [GetKey]\n",     "Key array was size: [1024].  Key terminated at array index [4]\n",
        "Key obtained was: [PATH]\n", "Key obtained was: [PATH]\n",
        "< exiting: [GetKey]\n",
    };
    ASSERT_EQ(messages.size(), 12U) << out;
    EXPECT_EQ(messages.front(), "> entering: [TestKeys]\n");
    EXPECT_EQ(messages.back(), "< exiting: [TestKeys]\n");
    EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, messages.begin() + 6), keyPart);
}

} // namespace
