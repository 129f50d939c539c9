// The Linux webhalt run as a program: the signal each action sends, seen by a
// child of the test that waits for it, and the refusals.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string err;
};

class WebhaltLinux : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "webhalt-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        write("httpd.conf", "# PidFile wrong.pid\nPidFile \"" + (dir / "run dir" / "httpd.pid").string() + "\"\n");
        fs::create_directories(dir / "run dir");
    }

    void TearDown() override
    {
        fs::remove_all(dir);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
    }

    void write(const std::string& name, const std::string& text) { std::ofstream(dir / name) << text; }

    static std::string read(const fs::path& path)
    {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

    // Runs webhalt with the arguments; its standard output must stay empty.
    // A run that has not ended within ten seconds is killed and fails.
    Result run(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), WEBHALT_PROGRAM);
        std::vector<char*> argv;
        for (std::string& a : arguments) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0);
        int status = 0;
        for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; i++) {
            usleep(10000);
        }
        if (waitpid(pid, &status, WNOHANG) == 0) {
            ADD_FAILURE() << "webhalt did not end";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        EXPECT_EQ(read(dir / "out"), "");
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read(dir / "err")};
    }

    fs::path dir;
};

// The action signals, and SIGRTMIN, with which the test ends a recorder: a
// real-time signal is taken after any action signal that came before it.
sigset_t recorderSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGHUP, SIGUSR1, SIGWINCH, SIGRTMIN}) {
        sigaddset(&set, s);
    }
    return set;
}

// A child that blocks those signals and ends with the number of the first
// one it receives (0 if none comes within five seconds).
pid_t startRecorder()
{
    sigset_t set = recorderSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &set, &previous);
    pid_t pid = fork();
    if (pid == 0) {
        timespec limit = {5, 0};
        int received = sigtimedwait(&set, nullptr, &limit);
        _exit(received > 0 ? received : 0);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return pid;
}

// The signal the recorder received, or -1 if it did not end within a second.
int recorded(pid_t pid)
{
    int status = 0;
    for (int i = 0; i < 100; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

TEST_F(WebhaltLinux, EachActionSendsItsSignal)
{
    const std::pair<const char*, int> cases[] = {
        {"stop", SIGTERM}, {"restart", SIGHUP}, {"graceful", SIGUSR1}, {"graceful-stop", SIGWINCH}};
    for (const auto& [action, signal] : cases) {
        pid_t recorder = startRecorder();
        ASSERT_GT(recorder, 0);
        write("run dir/httpd.pid", std::to_string(recorder) + "\n");
        Result result = run({"-k", action, "-f", (dir / "httpd.conf").string()});
        EXPECT_EQ(result.status, 0) << action;
        EXPECT_EQ(result.err, "") << action;
        EXPECT_EQ(recorded(recorder), signal) << action;
    }
}

TEST_F(WebhaltLinux, Refusals)
{
    const std::string conf = (dir / "httpd.conf").string();
    const std::string pidFile = (dir / "run dir" / "httpd.pid").string();
    const std::string padded = "2147483647" + std::string(130, ' ');
    const std::string parent = std::to_string(getpid());
    struct Case {
        const char* pid; // written to the pid file, or nullptr for none
        std::vector<std::string> arguments;
        int status;
        std::string err;
    };
    // A pid below 1 would signal a process group or every process; the
    // action of those rows is one whose signal is ignored by default.
    const Case cases[] = {
        {nullptr, {}, 255, "error: no Apache configuration file specified\n"},
        {nullptr,
         {"-f", conf, "-k", "shutdown"},
         255,
         "error: action shutdown is not one of stop, restart, graceful, graceful-stop\n"},
        {nullptr,
         {"-f", std::string(260, 'c'), "-k", "stop"},
         255,
         "error: the configuration file path is longer than 259 characters\n"},
        {"0",
         {"-f", conf, "-k", "graceful-stop"},
         1,
         "error: pid 0 in " + pidFile + " is refused: 1 and below are never the server\n"},
        {"-1", {"-f", conf, "-k", "graceful-stop"}, 1, "error: could not find pid in " + pidFile + "\n"},
        {parent.c_str(),
         {"-f", conf, "-k", "graceful-stop"},
         1,
         "error: pid " + parent + " in " + pidFile + " is refused: it is webhalt's parent\n"},
        {"2147483647", {"-f", conf, "-k", "graceful-stop"}, 1, "pidfd_open(2147483647): No such process\n"},
        // The pid file is read no further than 128 bytes.
        {padded.c_str(), {"-f", conf, "-k", "graceful-stop"}, 1, "error: could not find pid in " + pidFile + "\n"},
        {nullptr, {"-f", conf, "-k", "stop"}, 1, "fopen(" + pidFile + "): No such file or directory\n"},
    };
    for (const Case& c : cases) {
        fs::remove(pidFile);
        if (c.pid != nullptr) {
            write("run dir/httpd.pid", c.pid);
        }
        Result result = run(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.err;
        EXPECT_EQ(result.err, c.err);
    }

    // A pid file that is a FIFO nobody writes to holds no pid; it must not
    // hold webhalt either.
    fs::remove(pidFile);
    ASSERT_EQ(mkfifo(pidFile.c_str(), 0600), 0);
    Result result = run({"-f", conf, "-k", "graceful-stop"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: could not find pid in " + pidFile + "\n");

    // A configuration larger than any server's (a log file named by mistake,
    // an endless device) is refused rather than read whole into memory.
    write("huge.conf", "PidFile \"" + pidFile + "\"\n");
    fs::resize_file(dir / "huge.conf", 16 * 1024 * 1024 + 1);
    const std::string huge = (dir / "huge.conf").string();
    result = run({"-f", huge, "-k", "graceful-stop"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: the configuration file " + huge + " is longer than 16 MiB\n");
}

// As pid 1 of a private pid namespace, where the next pid can be chosen
// (root): init, a process that took a dead server's pid and a live process
// named with text after its pid all survive, each refused with its message;
// the server itself is still signalled.
TEST_F(WebhaltLinux, NeverSignalsAStranger)
{
    const std::string pidFile = (dir / "run dir" / "httpd.pid").string();
    auto refused = [&](pid_t pid, const char* reason) {
        return "error: pid " + std::to_string(pid) + " in " + pidFile + " is refused: " + reason + "\n";
    };
    if (getpid() != 1) {
        if (std::system("unshare --pid --fork --mount-proc true >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "skipped: no private pid namespace with its own /proc (needs root)";
        }
        const std::string log = (dir / "namespace.log").string();
        const std::string command = "unshare --pid --fork --mount-proc " + fs::read_symlink("/proc/self/exe").string() +
                                    " --gtest_filter=WebhaltLinux.NeverSignalsAStranger >" + log + " 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << read(log);
        // A pid namespace without a /proc of its own: /proc shows other processes.
        const std::string nested =
            "unshare --pid --fork sh -c 'sleep 5 & echo $! >\"$0\"; exec \"$1\" -f \"$2\" -k stop' '" + pidFile +
            "' '" WEBHALT_PROGRAM "' '" + (dir / "httpd.conf").string() + "' 2>" + log;
        EXPECT_EQ(WEXITSTATUS(std::system(nested.c_str())), 1);
        EXPECT_EQ(read(log), refused(2, "/proc belongs to another pid namespace"));
        return;
    }
    // webhalt -k stop on the pid file as it stands; then the target is sent
    // SIGRTMIN and must end with `received`, the signal that came first.
    auto stop = [&](pid_t target, const std::string& err, int received) {
        Result result = run({"-f", (dir / "httpd.conf").string(), "-k", "stop"});
        EXPECT_EQ(result.status, err.empty() ? 0 : 1) << err;
        EXPECT_EQ(result.err, err);
        if (target > 0) {
            kill(target, SIGRTMIN);
            EXPECT_EQ(recorded(target), received) << err;
        }
    };
    // Init (this process) drops the signals it has no handler for; blocked,
    // they stay pending, so the test sees whether one came.
    sigset_t blocked = recorderSignals();
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    write("run dir/httpd.pid", "1\n");
    stop(0, refused(1, "1 and below are never the server"), 0);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigisemptyset(&pending)) << "init was signalled";

    for (const char* after : {"abc\n", " 1\n"}) {
        pid_t target = startRecorder();
        write("run dir/httpd.pid", std::to_string(target) + after);
        stop(target, "error: could not find pid in " + pidFile + "\n", SIGRTMIN);
    }

    // The server wrote its pid file five seconds before it ended (more than
    // the tolerance for clocks); then its pid goes to a new process.
    pid_t server = startRecorder();
    write("run dir/httpd.pid", std::to_string(server) + "\n");
    const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 5, 1}};
    ASSERT_EQ(utimensat(AT_FDCWD, pidFile.c_str(), times, 0), 0);
    kill(server, SIGRTMIN);
    ASSERT_EQ(recorded(server), SIGRTMIN);
    std::ofstream("/proc/sys/kernel/ns_last_pid") << server - 1;
    pid_t stranger = startRecorder();
    ASSERT_EQ(stranger, server) << "the stale pid went to another process";
    stop(stranger, refused(server, "the process started after the pid file was written"), SIGRTMIN);

    pid_t next = std::stoi(read("/proc/sys/kernel/ns_last_pid")) + 1; // webhalt's own
    write("run dir/httpd.pid", std::to_string(next) + "\n");
    stop(0, refused(next, "it is webhalt itself"), 0);

    server = startRecorder();
    write("run dir/httpd.pid", std::to_string(server) + "\n");
    stop(server, "", SIGTERM);
}

} // namespace
