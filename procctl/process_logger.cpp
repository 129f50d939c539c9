// The log's writer, the same on every platform.  The platform file supplies
// the initialisation (which switches exist, which lock guards them) and the
// identities printed in each line.
#include "procctl/process_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

int __proc_dbg_enabled = 0;       // NOLINT(bugprone-reserved-identifier)
int __proc_entryexit_enabled = 0; // NOLINT(bugprone-reserved-identifier)

void process_log(const char* format, ...)
{
    if (__proc_dbg_enabled == 0 || format == nullptr) {
        return;
    }

    char message[PROCESS_LOG_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    message[PROCESS_LOG_MESSAGE_SIZE - 1] = '\0';

    // The line is formatted whole before it is written, so lines of
    // concurrent threads never mix inside one line.
    char line[PROCESS_LOG_LINE_SIZE];
    snprintf(line, PROCESS_LOG_LINE_SIZE - 1, "Time: [0x%x], Process: [%d], Thread: [0x%x]: %s",
             static_cast<unsigned int>(time(nullptr)), static_cast<int>(process_log_pid()), process_log_thread_id(),
             message);
    line[PROCESS_LOG_LINE_SIZE - 1] = '\0';

    printf("%s", line);
    fflush(stdout);
}

static void process_log_trace(const char* format, const char* traceName)
{
    if (__proc_entryexit_enabled == 0 || traceName == nullptr) {
        return;
    }
    char message[PROCESS_LOG_LINE_SIZE];
    snprintf(message, sizeof(message), format, traceName);
    message[PROCESS_LOG_LINE_SIZE - 1] = '\0';
    process_log("%s", message);
}

void process_log_entry(const char* traceName)
{
    process_log_trace("> entering: [%s]\n", traceName);
}

void process_log_exit(const char* traceName)
{
    process_log_trace("< exiting: [%s]\n", traceName);
}

int process_log_is_dbg_enabled(void)
{
    return __proc_dbg_enabled;
}

int process_log_is_entryexit_enabled(void)
{
    return __proc_entryexit_enabled;
}
