// Unix side of the diagnostic log: the switches, the pid a forked child must
// refresh, and the library's JNI_OnLoad, which reads the switches and finds
// out what the kernel tells of processes that are not our children.
#include "procctl/process_log.h"
#include "procctl/unix/unix_process.h"

#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

static pthread_mutex_t __proc_dbg_mutex = PTHREAD_MUTEX_INITIALIZER; // NOLINT(bugprone-reserved-identifier)
static pid_t __proc_dbg_pid = 0;                                     // NOLINT(bugprone-reserved-identifier)

void process_log_init_dbg(void)
{
    pthread_mutex_lock(&__proc_dbg_mutex);
    // A switch counts as soon as it exists, whatever its value (even empty).
    if (getenv("__JNI_PROCESS_DEBUG") != nullptr || getenv("$$TRACE") != nullptr) {
        __proc_dbg_enabled = 1;
    }
    if (getenv("__JNI_PROCESS_ENTRYEXIT") != nullptr) {
        __proc_entryexit_enabled = 1;
    }
    // A freshly forked child calls this first, so its lines carry its own pid.
    if (__proc_dbg_pid == 0 || __proc_dbg_pid != getpid()) {
        __proc_dbg_pid = getpid();
    }
    pthread_mutex_unlock(&__proc_dbg_mutex);
}

unsigned int process_log_thread_id(void)
{
    // pthread_t is an integer here; the line shows its low 32 bits.
    return static_cast<unsigned int>(pthread_self());
}

long process_log_pid(void)
{
    return __proc_dbg_pid;
}

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* /*vm*/, void* /*reserved*/)
{
    process_log_init_dbg();
    unix_ExitInfoAvailable();
    return JNI_VERSION_1_2;
}
