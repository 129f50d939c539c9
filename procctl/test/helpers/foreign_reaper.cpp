// Preloaded (LD_PRELOAD) into a child JVM of the tests, it makes that JVM
// live beside native code that takes its children, as some libraries do:
//   FOREIGN_REAPER=ignore  SIGCHLD is ignored, so the kernel reaps every
//                          child as soon as it ends;
//   FOREIGN_REAPER=thread  a thread reaps every child with waitpid(-1) as
//                          soon as it ends.
// Only a java process is changed, not the wrappers started with the same
// environment (unshare, the subreaper).
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

extern char* program_invocation_short_name;

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
    if (mode == nullptr || strcmp(program_invocation_short_name, "java") != 0) {
        return;
    }
    if (strcmp(mode, "ignore") == 0) {
        signal(SIGCHLD, SIG_IGN);
    } else if (strcmp(mode, "thread") == 0) {
        pthread_t thread;
        pthread_create(&thread, nullptr, reapEveryChild, nullptr);
        pthread_detach(thread);
    }
}
