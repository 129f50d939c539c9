// Runs a command the way a real init treats it: every process orphaned
// below this one is reparented here (PR_SET_CHILD_SUBREAPER, or simply being
// process 1 of a pid namespace) and reaped at once.  Containers often have an
// init that reaps nothing; the tests of exit codes read through a pidfd need
// orphans reaped.
//
//   subreaper COMMAND ARGS...
//
// Exits with the command's status (128 + the signal when a signal ended it)
// once the command has ended.  SIGTERM, SIGINT and SIGHUP are passed on to it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

static volatile sig_atomic_t command = 0;

static void passOn(int sig)
{
    if (command > 0) {
        kill(command, sig);
    }
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: subreaper COMMAND ARGS...\n");
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        perror("subreaper: PR_SET_CHILD_SUBREAPER");
        return 2;
    }
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        signal(sig, passOn);
    }
    pid_t child = fork();
    if (child == 0) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            signal(sig, SIG_DFL);
        }
        execvp(argv[1], argv + 1);
        perror("subreaper: exec");
        _exit(127);
    }
    if (child < 0) {
        perror("subreaper: fork");
        return 2;
    }
    command = child;
    int result = -1;
    while (result < 0) {
        int status = 0;
        pid_t reaped = waitpid(-1, &status, 0);
        if (reaped == child) {
            result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (reaped == -1 && errno != EINTR) {
            return 2;
        }
    }
    // Orphans that have ended already are reaped; those still running go on
    // to our own parent (or, in a pid namespace, end with it).
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return result;
}
