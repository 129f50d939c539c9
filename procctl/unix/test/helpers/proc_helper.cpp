// A program the process-control tests start: it runs its arguments as a
// list of small commands and reports what it sees on standard output.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void printSignals()
{
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    std::string blocked;
    std::string ignored;
    std::string handled;
    for (int sig = 1; sig < 32; sig++) {
        if (sigismember(&mask, sig) == 1) {
            blocked.append(" ").append(std::to_string(sig));
        }
        struct sigaction action {};
        sigaction(sig, nullptr, &action);
        if (action.sa_handler == SIG_IGN) {
            ignored.append(" ").append(std::to_string(sig));
        } else if (action.sa_handler != SIG_DFL) {
            handled.append(" ").append(std::to_string(sig));
        }
    }
    printf("blocked:%s\nignored:%s\nhandled:%s\n", blocked.c_str(), ignored.c_str(), handled.c_str());
}

int countFds()
{
    int n = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* entry = readdir(dir)) {
        int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd != dirfd(dir)) {
            n++;
        }
    }
    closedir(dir);
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::string cmd = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : "";
        if (cmd == "exit") {
            fflush(stdout);
            return atoi(arg);
        } else if (cmd == "signal") {
            fflush(stdout);
            signal(atoi(arg), SIG_DFL);
            raise(atoi(arg));
            i++;
        } else if (cmd == "sleep") {
            fflush(stdout);
            usleep(static_cast<useconds_t>(atoi(arg)) * 1000);
            i++;
        } else if (cmd == "env") {
            const char* value = getenv(arg);
            printf("%s=%s\n", arg, value != nullptr ? value : "(unset)");
            i++;
        } else if (cmd == "args") {
            for (int j = 0; j < argc; j++) {
                printf("argv[%d]=%s\n", j, argv[j]);
            }
        } else if (cmd == "cwd") {
            char buffer[4096];
            printf("cwd=%s\n", getcwd(buffer, sizeof(buffer)) != nullptr ? buffer : "?");
        } else if (cmd == "nice") {
            errno = 0;
            printf("nice=%d\n", getpriority(PRIO_PROCESS, 0));
        } else if (cmd == "ids") {
            gid_t groups[64];
            int n = getgroups(64, groups);
            printf("uid=%d gid=%d groups=%d\n", static_cast<int>(getuid()), static_cast<int>(getgid()), n);
        } else if (cmd == "pgid") {
            printf("pid=%d pgid=%d\n", static_cast<int>(getpid()), static_cast<int>(getpgrp()));
        } else if (cmd == "signals") {
            printSignals();
        } else if (cmd == "fds") {
            printf("fds=%d\n", countFds());
        } else if (cmd == "stdin") {
            char buffer[4096];
            long total = 0;
            ssize_t n;
            while ((n = read(0, buffer, sizeof(buffer))) > 0) {
                total += n;
            }
            printf("stdin=%ld\n", total);
        } else if (cmd == "out") {
            printf("%s\n", arg);
            i++;
        } else if (cmd == "err") {
            fprintf(stderr, "%s\n", arg);
            i++;
        } else if (cmd == "touch") {
            int fd = open(arg, O_CREAT | O_WRONLY, 0666);
            if (fd >= 0) {
                close(fd);
            }
            i++;
        } else if (cmd == "monotonic") {
            // The moment the program is about to end, on the clock Java's
            // System.nanoTime reads.
            struct timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            printf("t=%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        } else if (cmd == "pause") {
            fflush(stdout);
            pause();
        }
        fflush(stdout);
    }
    return 0;
}
