// webhalt on Linux: tells a web server on this machine to perform an action
// by sending it the signal its documentation gives for that action.  The pid
// comes from the pid file named by the PidFile directive of the server's
// configuration file, read the same way as on Windows.
#include "webhalt/command_line.h"
#include "webhalt/pidfile_scan.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
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
// them.  On failure error is errno.  The file is
// opened without blocking: a FIFO that nobody writes to (or a terminal) would
// otherwise hold the open or the read forever; it reads as empty instead.
bool readText(const char* path, std::string& text, bool& more, int& error, size_t limit)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return false;
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
    if (!readText(pidPath, text, more, error, pidTextMax)) {
        fprintf(stderr, "fopen(%s): %s\n", pidPath, strerror(error));
        return exitNotSignalled;
    }
    int pid = 0;
    // kill() takes 0 for the caller's process group and negative pids for
    // other groups or every process: none of them names the server.
    if (!parsePid(std::string_view(text), pid) || pid <= 0) {
        fprintf(stderr, "error: could not find pid in %s\n", pidPath);
        return exitNotSignalled;
    }
    if (kill(pid, action.signal) != 0) {
        fprintf(stderr, "kill(%d, %s): %s\n", pid, action.signalName, strerror(errno));
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
