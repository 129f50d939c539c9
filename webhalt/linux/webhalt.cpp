// webhalt on Linux: tells a web server on this machine to perform an action
// by sending it the signal its documentation gives for that action.  The pid
// comes from the pid file named by the PidFile directive of the server's
// configuration file, read the same way as on Windows.
//
// The tool runs as root from scripts, so a pid file that no longer names the
// server (it died and its pid went to another process) must never make it
// signal a stranger.  It refuses init, its own pid and its parent's, and any
// process that started after the pid file was last written: that process
// cannot be the one that wrote it.  The process is held by a pidfd from
// before that check to the signal, so the process checked is the process
// signalled even if the pid is reused meanwhile.  A file rewritten to name a
// process older than the write (by whoever may write it, or by a server in
// another pid namespace) is not told apart from the server's own.
#include "common/linux/proc_stat_text.h"
#include "webhalt/command_line.h"
#include "webhalt/pidfile_scan.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Action {
    const char* word;
    int signal;
    const char* signalName;
};

const Action actions[] = {
    {"stop", SIGTERM, "SIGTERM"},
    {"restart", SIGHUP, "SIGHUP"},
    {"graceful", SIGUSR1, "SIGUSR1"},
    {"graceful-stop", SIGWINCH, "SIGWINCH"},
};

const Action* findAction(const char* word)
{
    for (const Action& action : actions) {
        if (strcmp(action.word, word) == 0) {
            return &action;
        }
    }
    return nullptr;
}

// Reads a file, up to limit bytes; more tells whether the file goes on past
// them; modified, when asked for, is the file's last modification time, taken
// from the file that was read.  On failure error is errno.  The file is
// opened without blocking: a FIFO that nobody writes to (or a terminal) would
// otherwise hold the open or the read forever; it reads as empty instead.
bool readText(const char* path, std::string& text, bool& more, int& error, size_t limit, timespec* modified = nullptr)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    FILE* file = fd >= 0 && (modified == nullptr || fstat(fd, &status) == 0) ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    if (modified != nullptr) {
        *modified = status.st_mtim;
    }
    text.clear();
    char buffer[4096];
    size_t n;
    while (text.size() <= limit &&
           (n = fread(buffer, 1, std::min(sizeof(buffer), limit + 1 - text.size()), file)) > 0) {
        text.append(buffer, n);
    }
    fclose(file);
    more = text.size() > limit;
    if (more) {
        text.resize(limit);
    }
    return true;
}

// A process held by its pidfd: the descriptor names that process alone, and
// never another that is given its pid after it ends.
struct PidFd {
    int fd;
    ~PidFd()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// When the process started, in clock ticks since boot (field 22 of
// /proc/PID/stat).
bool processStartTicks(int pid, unsigned long long& ticks)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    ProcStatFields fields{};
    if (readProcStatFile(path, &fields) < 22) {
        return false;
    }
    ticks = fields.startTime;
    return true;
}

// Whether /proc shows this process's pid namespace: one mounted for another
// (a namespace entered without a /proc of its own) shows another process
// under the same pid, and its start time would be no evidence.
bool procIsOwn()
{
    char target[32];
    ssize_t n = readlink("/proc/self", target, sizeof target - 1);
    char own[32];
    snprintf(own, sizeof own, "%d", static_cast<int>(getpid()));
    return n > 0 && static_cast<size_t>(n) == strlen(own) && memcmp(target, own, strlen(own)) == 0;
}

// How much later than the pid file's modification time a process may have
// started and still be taken for the one that wrote it.  Every inexactness
// of the comparison is in the server's favour, never against it: the start
// time is cut down to a clock tick, so the process looks older than it is;
// the file time comes from the kernel's coarse clock, a scheduler tick behind
// at most; some file systems keep whole seconds only (FAT even ones); and the
// start is placed on today's wall clock, so a clock set forward since the
// server started makes it look younger by that step.  Two seconds cover all
// of them, while a pid goes to another process only after the pid numbers
// have gone round, which takes far longer.
constexpr double startTolerance = 2.0;

// Whether a process that started startTicks after boot started after the
// pid file was last written (at written).
bool startedAfter(unsigned long long startTicks, const timespec& written)
{
    long hz = sysconf(_SC_CLK_TCK);
    timespec now{};
    timespec sinceBoot{};
    if (hz <= 0 || clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0) {
        return true; // no way to tell: not known to be the server
    }
    // Seconds in double keep well under a microsecond at today's dates.
    double bootedAt =
        static_cast<double>(now.tv_sec - sinceBoot.tv_sec) + static_cast<double>(now.tv_nsec - sinceBoot.tv_nsec) / 1e9;
    double started = bootedAt + static_cast<double>(startTicks) / static_cast<double>(hz);
    return started > static_cast<double>(written.tv_sec) + static_cast<double>(written.tv_nsec) / 1e9 + startTolerance;
}

// Whether the pid file was last written later than now (beyond the same
// tolerance): the wall clock was set back since, or the time was set by
// hand.  Its time then says nothing of when a process started after it.
bool writtenLaterThanNow(const timespec& written)
{
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return true; // no way to tell: not known to be the server
    }
    return static_cast<double>(written.tv_sec - now.tv_sec) + static_cast<double>(written.tv_nsec - now.tv_nsec) / 1e9 >
           startTolerance;
}

int refuse(int pid, const char* pidPath, const char* reason)
{
    fprintf(stderr, "error: pid %d in %s is refused: %s\n", pid, pidPath, reason);
    return exitNotSignalled;
}

int signalServer(const char* configPath, const Action& action)
{
    std::string text;
    bool more = false;
    int error = 0;
    if (!readText(configPath, text, more, error, configurationTextMax)) {
        fprintf(stderr, "fopen(%s): %s\n", configPath, strerror(error));
        return exitNotSignalled;
    }
    if (more) {
        fprintf(stderr, "error: the configuration file %s is longer than 16 MiB\n", configPath);
        return exitNotSignalled;
    }
    char pidPath[pidFilePathSize];
    switch (scanPidFile(std::string_view(text), pidPath)) {
    case PidFileScan::found:
        break;
    case PidFileScan::missing:
        fprintf(stderr, "error: could not find PidFile directive in %s\n", configPath);
        return exitNotSignalled;
    case PidFileScan::tooLong:
        fprintf(stderr, "error: the PidFile path in %s is longer than 260 characters\n", configPath);
        return exitRefused;
    }

    // A relative path is taken from the current directory, as written.
    timespec written{};
    if (!readText(pidPath, text, more, error, pidTextMax, &written)) {
        fprintf(stderr, "fopen(%s): %s\n", pidPath, strerror(error));
        return exitNotSignalled;
    }
    int pid = 0;
    // A file that goes on past the pid and its line end holds something else.
    if (more || !parsePid(std::string_view(text), pid)) {
        fprintf(stderr, "error: could not find pid in %s\n", pidPath);
        return exitNotSignalled;
    }
    // 0 would signal the tool's own process group, 1 is init.
    if (pid <= 1) {
        return refuse(pid, pidPath, "1 and below are never the server");
    }
    if (pid == getpid()) {
        return refuse(pid, pidPath, "it is webhalt itself");
    }
    if (pid == getppid()) {
        return refuse(pid, pidPath, "it is webhalt's parent");
    }

    // From here on the process is held by its pidfd, and the signal goes to
    // that process, not to whatever holds the pid by then.
    PidFd process{static_cast<int>(syscall(SYS_pidfd_open, pid, 0))};
    if (process.fd < 0) {
        fprintf(stderr, "pidfd_open(%d): %s\n", pid, strerror(errno));
        return exitNotSignalled;
    }
    // The start time is read by pid: if the held process ended before the
    // read and its pid went to another, the read meets that younger process
    // and refuses it; if the read is accepted, the signal below fails unless
    // the held process was still alive, and so was the one read.
    if (!procIsOwn()) {
        return refuse(pid, pidPath, "/proc belongs to another pid namespace");
    }
    unsigned long long startTicks = 0;
    if (!processStartTicks(pid, startTicks)) {
        return refuse(pid, pidPath, "its start time cannot be read");
    }
    if (writtenLaterThanNow(written)) {
        return refuse(pid, pidPath, "the pid file was last written later than now");
    }
    if (startedAfter(startTicks, written)) {
        return refuse(pid, pidPath, "the process started after the pid file was written");
    }
    if (syscall(SYS_pidfd_send_signal, process.fd, action.signal, nullptr, 0) != 0) {
        fprintf(stderr, "pidfd_send_signal(%d, %s): %s\n", pid, action.signalName, strerror(errno));
        return exitNotSignalled;
    }
    return exitSignalled;
}

} // namespace

int main(int argc, char** argv)
{
    CommandLine<char> commandLine;
    CommandLineError error = parseCommandLine(argc, argv, commandLine);
    if (error != CommandLineError::none) {
        if (const char* message = commandLineMessage(error)) {
            fputs(message, stderr);
        }
        return exitRefused;
    }
    const Action* action = findAction(commandLine.action);
    if (action == nullptr) {
        fprintf(stderr, "error: action %s is not one of stop, restart, graceful, graceful-stop\n", commandLine.action);
        return exitRefused;
    }
    return signalServer(commandLine.configuration, *action);
}
