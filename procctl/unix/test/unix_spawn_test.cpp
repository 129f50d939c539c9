// The spawn steps and record operations without a JVM: time-out rule,
// argument vector, the child's log lines, and the life of a record.
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/unix/unix_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int timeoutFor(const char* value)
{
    if (value == nullptr) {
        unsetenv("__JNI_PROCESS_CREATE_TIMEOUT");
    } else {
        setenv("__JNI_PROCESS_CREATE_TIMEOUT", value, 1);
    }
    int seconds = unix_getStartProcessTimeout();
    unsetenv("__JNI_PROCESS_CREATE_TIMEOUT");
    return seconds;
}

TEST(StartTimeout, CountsMinutesWithATwoMinuteFloor)
{
    EXPECT_EQ(timeoutFor(nullptr), 120);
    EXPECT_EQ(timeoutFor("0"), 120);
    EXPECT_EQ(timeoutFor("1"), 120);
    EXPECT_EQ(timeoutFor("2"), 120);
    EXPECT_EQ(timeoutFor("3"), 180);
    EXPECT_EQ(timeoutFor("10"), 600);
    EXPECT_EQ(timeoutFor("99999"), 99999 * 60);
    for (const char* ignored : {"", "abc", "5m", "123456", "-3", " 3"}) {
        EXPECT_EQ(timeoutFor(ignored), 120) << "[" << ignored << "]";
    }
}

TEST(CmdLine, ExecutableFirstThenTheCallersArguments)
{
    char* args[] = {const_cast<char*>("-c"), const_cast<char*>("exit 4"), nullptr};
    char** vector = GenerateCmdLine(args, "/bin/sh");
    ASSERT_NE(vector, nullptr);
    EXPECT_STREQ(vector[0], "/bin/sh");
    EXPECT_EQ(vector[1], args[0]);
    EXPECT_EQ(vector[2], args[1]);
    EXPECT_EQ(vector[3], nullptr);
    FreeCmdLine(vector);

    char** bare = GenerateCmdLine(nullptr, "prog");
    ASSERT_NE(bare, nullptr);
    EXPECT_STREQ(bare[0], "prog");
    EXPECT_EQ(bare[1], nullptr);
    FreeCmdLine(bare);
    FreeCmdLine(nullptr);
}

struct Record {
    UnixProcessRecord* r = unix_NewProcessRecord();
    Record() { snprintf(r->pid, sizeof(r->pid), "0"); }
    ~Record()
    {
        unix_doneWithProcess(r);
        unix_FreeProcessRecord(r);
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
};

int spawnShell(UnixProcessRecord* record, const char* script, char** files, int* sysErr)
{
    char* args[] = {const_cast<char*>("-c"), const_cast<char*>(script), nullptr};
    return unix_CreateProcess("/bin/sh", args, nullptr, nullptr, 20, files, 022, nullptr, nullptr, 0, record, sysErr);
}

TEST(Record, SpawnWaitAndExitCode)
{
    Record rec;
    int sysErr = -1;
    ASSERT_EQ(spawnShell(rec.r, "exit 4", nullptr, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(sysErr, 0);
    EXPECT_EQ(rec.r->state, 1);
    EXPECT_GT(atoi(rec.r->pid), 0);
    EXPECT_EQ(unix_WaitForProcessTermination(rec.r, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(rec.r->state, 0);
    EXPECT_EQ(rec.r->exitCode, 4);
    EXPECT_EQ(unix_GetProcessExitCode(rec.r, &sysErr), PROC_SUCCESS);
    // Reaped: the pid may be anybody's now, so nothing is signalled.
    EXPECT_EQ(unix_KillProcess(rec.r, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(unix_StopProcess(rec.r, &sysErr), PROC_SUCCESS);

    // An already spawned record is not spawned again.
    char pid[UNIX_PID_SIZE];
    snprintf(pid, sizeof(pid), "%s", rec.r->pid);
    EXPECT_EQ(unix_spawnProcess(rec.r, 0, &sysErr), PROC_SUCCESS);
    EXPECT_STREQ(rec.r->pid, pid);
}

TEST(Record, FailedExecComesBackWithItsErrno)
{
    Record rec;
    int sysErr = 0;
    char* args[] = {nullptr};
    EXPECT_EQ(unix_CreateProcess("/no/such/program", args, nullptr, nullptr, 20, nullptr, 022, nullptr, nullptr, 0,
                                 rec.r, &sysErr),
              PROC_INVALID_EXECUTABLE);
    EXPECT_EQ(sysErr, ENOENT);
    EXPECT_EQ(rec.r->state, 0);
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "the failed child was reaped";
}

TEST(Record, PingOfTheServerAndOfAGonePid)
{
    Record self;
    snprintf(self.r->pid, sizeof(self.r->pid), "%d", static_cast<int>(getpid()));
    unix_PinProcessIdentity(self.r);
    int sysErr = -1;
    EXPECT_EQ(unix_AdoptProcess(self.r, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(self.r->state, 1);

    // A pid that existed and ended, and was never our child.
    Record gone;
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    snprintf(gone.r->pid, sizeof(gone.r->pid), "%d", static_cast<int>(child));
    unix_PinProcessIdentity(gone.r);
    EXPECT_EQ(unix_AdoptProcess(gone.r, &sysErr), PROC_HAS_EXITED);
    EXPECT_EQ(unix_KillProcess(gone.r, &sysErr), PROC_SUCCESS);
}

TEST(Record, WaitWithALimitAndKill)
{
    Record rec;
    int sysErr = 0;
    ASSERT_EQ(spawnShell(rec.r, "exec sleep 30", nullptr, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(unix_WaitForProcessTerminationWithTimeout(rec.r, 0, &sysErr), PROC_STILL_ACTIVE);
    EXPECT_EQ(unix_WaitForProcessTerminationWithTimeout(rec.r, 1, &sysErr), PROC_STILL_ACTIVE);
    EXPECT_EQ(unix_GetProcessExitCode(rec.r, &sysErr), PROC_STILL_ACTIVE);
    EXPECT_EQ(unix_KillProcess(rec.r, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(unix_WaitForProcessTerminationWithTimeout(rec.r, 10, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(rec.r->exitCode, SIGKILL);
}

// A record re-attached to a child of ours that somebody else here reaps (its
// own record, or a later reap after that record was released) reads the
// zombie's status and leaves the reap to its owner.
TEST(Record, AReattachedChildOfOursReadsItsStatusWithoutTakingIt)
{
    Record owner;
    int sysErr = 0;
    ASSERT_EQ(spawnShell(owner.r, "exit 6", nullptr, &sysErr), PROC_SUCCESS);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(atoi(owner.r->pid)), &info, WEXITED | WNOWAIT), 0);
    Record attached;
    snprintf(attached.r->pid, sizeof(attached.r->pid), "%s", owner.r->pid);
    attached.r->notChild = 1;
    unix_PinProcessIdentity(attached.r);
    EXPECT_EQ(unix_GetProcessExitCode(attached.r, &sysErr), PROC_SUCCESS);
    int code = -1;
    EXPECT_EQ(unix_ReadExitCode(attached.r, &code, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(code, 6);
    EXPECT_EQ(unix_WaitForProcessTermination(owner.r, &sysErr), PROC_SUCCESS);
    EXPECT_EQ(owner.r->exitCode, 6);
}

// The intermediate child of a detached spawn may start but fail to start the
// program (here: the user's process limit allows one more process, not two).
TEST(Detached, NoPidFromTheIntermediateChildFailsAndRecordsNone)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run as another user under a process limit";
    }
    pid_t tester = fork();
    if (tester == 0) {
        struct passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
            _exit(90);
        }
        // Processes the user already has, this one included, plus the intermediate child.
        int count = 0;
        DIR* proc = opendir("/proc");
        while (dirent* entry = readdir(proc)) {
            struct stat info {};
            std::string path = std::string("/proc/") + entry->d_name;
            if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9' && stat(path.c_str(), &info) == 0 &&
                info.st_uid == nobody->pw_uid) {
                count++;
            }
        }
        closedir(proc);
        struct rlimit limit {};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(count + 1);
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) {
            _exit(91);
        }
        UnixProcessRecord* record = unix_NewProcessRecord();
        snprintf(record->pid, sizeof(record->pid), "0");
        int sysErr = 0;
        char* args[] = {nullptr};
        int result = unix_CreateDetachedProcess("/bin/true", args, nullptr, nullptr, 20, nullptr, 022, nullptr, nullptr,
                                                0, record, &sysErr);
        bool asExpected = result == PROC_SYSTEM_ERR && strcmp(record->pid, "0") == 0 && record->state == 0;
        _exit(asExpected ? 0 : 10 + result);
    }
    int status = 0;
    ASSERT_EQ(waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ChildLog, ChildSideLinesCarryTheChildsPidInTheLogFormat)
{
    char path[] = "/tmp/procctl-childlog-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    pid_t tester = fork();
    if (tester == 0) {
        freopen("/dev/null", "w", stdout);
        setenv("__JNI_PROCESS_DEBUG", "1", 1);
        process_log_init_dbg();
        UnixProcessRecord* record = unix_NewProcessRecord();
        snprintf(record->pid, sizeof(record->pid), "0");
        char* files[3] = {nullptr, path, nullptr};
        int sysErr = 0;
        int result = spawnShell(record, "exit 0", files, &sysErr);
        unix_WaitForProcessTermination(record, &sysErr);
        int pid = atoi(record->pid);
        FILE* out = fopen(path, "a");
        fprintf(out, "spawned=%d\n", result == 0 ? pid : -1);
        fclose(out);
        _exit(0);
    }
    int status = 0;
    waitpid(tester, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    std::string log = text.str();
    std::smatch spawned;
    ASSERT_TRUE(std::regex_search(log, spawned, std::regex("spawned=([0-9]+)\n"))) << log;
    std::string pid = spawned[1];
    // Lines written by the child after its standard output was redirected.
    std::regex line("Time: \\[0x[0-9a-f]+\\], Process: \\[" + pid +
                    "\\], Thread: \\[0x[0-9a-f]+\\]: Executable argument \\[2\\]: \\[exit 0\\]\n");
    EXPECT_TRUE(std::regex_search(log, line)) << log.substr(0, 2000);
    EXPECT_NE(log.find("]: Past SetupChildContext.  Return value was: [0] and sysErr was: [0]\n"), std::string::npos);
    // Written before the redirection, so to the tester's own output.
    EXPECT_EQ(log.find("Trying to open file: ["), std::string::npos);
}

} // namespace
