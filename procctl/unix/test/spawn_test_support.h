// Helpers of the spawn tests that run without a JVM.
#pragma once

#include "procctl/unix/unix_process.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// A fresh record that is released at the end of the scope.
struct TestRecord {
    UnixProcessRecord* r = unix_NewProcessRecord();
    TestRecord() { snprintf(r->pid, sizeof(r->pid), "0"); }
    ~TestRecord()
    {
        unix_doneWithProcess(r);
        unix_FreeProcessRecord(r);
    }
    TestRecord(const TestRecord&) = delete;
    TestRecord& operator=(const TestRecord&) = delete;
};

// Runs `body` in a forked copy of the test process and answers its exit
// status as text ("exit N" or "signal N"), so that a step that changes the
// process (limits, descriptors, namespaces) or crashes it stays there.
inline std::string inChild(const std::function<int()>& body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

// Spawns `sh -c script` as the server's child with the given environment and
// standard-handle files and waits for it; answers the spawn's result code
// (and the child's exit code through `exitCode`).
inline int runShell(const char* script, char** environment, char** files, int* sysErr, int* exitCode = nullptr,
                    const char* group = nullptr, const char* user = nullptr)
{
    TestRecord rec;
    char* args[] = {const_cast<char*>("-c"), const_cast<char*>(script), nullptr};
    int result =
        unix_CreateProcess("/bin/sh", args, environment, nullptr, 20, files, 022, group, user, 0, rec.r, sysErr);
    if (result == 0) {
        int waitErr = 0;
        unix_WaitForProcessTermination(rec.r, &waitErr);
        if (exitCode != nullptr) {
            *exitCode = rec.r->exitCode;
        }
    }
    return result;
}
