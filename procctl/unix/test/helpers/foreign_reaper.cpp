// Preloaded into child JVMs of the tests: native code beside the JVM that
// takes its children.  FOREIGN_REAPER=ignore ignores SIGCHLD (the kernel
// reaps every child at once); FOREIGN_REAPER=thread reaps every child with
// waitpid(-1) on a thread of its own.  Only a java process is changed, not
// the wrappers started with the same environment.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

static void* reapEveryChild(void* /*arg*/)
{
    for (;;) {
        if (waitpid(-1, nullptr, 0) == -1 && errno == ECHILD) {
            usleep(500);
        }
    }
    return nullptr;
}

__attribute__((constructor)) static void takeChildren()
{
    const char* mode = getenv("FOREIGN_REAPER");
    pthread_t thread;
    if (mode == nullptr || strcmp(program_invocation_short_name, "java") != 0) {
        return;
    }
    if (strcmp(mode, "ignore") == 0) {
        signal(SIGCHLD, SIG_IGN);
    } else if (strcmp(mode, "thread") == 0 && pthread_create(&thread, nullptr, reapEveryChild, nullptr) == 0) {
        pthread_detach(thread);
    }
}
