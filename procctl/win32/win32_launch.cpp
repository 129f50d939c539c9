// Launching a program on Windows: directly with CreateProcessA, or through
// process_spawner, which is told over a named pipe what to start and hands
// back a handle to the child that is valid in this process.
//
// Launching through the spawner lets the child start detached from the
// server's console with redirection files as its standard handles, while the
// server never makes those files inheritable in itself (a handle inheritable
// here would leak into every other child started at the same time).
#include "common/win32.h"
#include "procctl/process_log.h"
#include "procctl/win32/win32_process.h"
#include "spawner/spawner_layout.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The per-descriptor log lines are formatted into a buffer of this size.
static constexpr size_t DESCRIPTOR_LINE_SIZE = 1500;

static bool isValidHandle(HANDLE h)
{
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

static void logDescriptorLine(const char* format, int descriptor)
{
    char line[DESCRIPTOR_LINE_SIZE];
    snprintf(line, sizeof(line), format, descriptor);
    line[DESCRIPTOR_LINE_SIZE - 1] = '\0';
    process_log("%s", line);
}

DWORD win32_PriorityClass(int priority)
{
    if (priority < 0) {
        return 0;
    }
    if (priority < 10) {
        return REALTIME_PRIORITY_CLASS;
    }
    if (priority < 20) {
        return HIGH_PRIORITY_CLASS;
    }
    if (priority < 100) {
        return NORMAL_PRIORITY_CLASS;
    }
    return IDLE_PRIORITY_CLASS;
}

static bool variableIsTrue(const char* name)
{
    char value[8];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
    return length > 0 && length < sizeof(value) && _stricmp(value, "TRUE") == 0;
}

HANDLE CreateRedirectionFile(const char* workingDirectory, const char* path, int input)
{
    if (path == nullptr) {
        return nullptr;
    }
    bool truncate = false;
    if (strcmp(path, "/dev/null") == 0) {
        path = "nul";
    } else if (path[0] == '!') {
        truncate = true;
        path++;
    }

    // The full name never exceeds the classic path limit; a longer one is
    // refused here instead of being cut into the name of another file.
    char name[WIN32_REDIRECTION_PATH_MAX + 1];
    size_t pathLength = strlen(path);
    bool absolute = path[0] == '/' || path[0] == '\\' || (path[0] != '\0' && path[1] == ':') ||
                    strcmp(path, "nul") == 0 || workingDirectory == nullptr;
    if (absolute) {
        if (pathLength > WIN32_REDIRECTION_PATH_MAX) {
            return INVALID_HANDLE_VALUE;
        }
        memcpy(name, path, pathLength + 1);
    } else {
        size_t directoryLength = strlen(workingDirectory);
        if (pathLength + directoryLength + 1 > WIN32_REDIRECTION_PATH_MAX) {
            return INVALID_HANDLE_VALUE;
        }
        bool separated = directoryLength > 0 && (workingDirectory[directoryLength - 1] == '/' ||
                                                 workingDirectory[directoryLength - 1] == '\\');
        snprintf(name, sizeof(name), "%s%s%s", workingDirectory, separated ? "" : "\\", path);
    }

    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (input == 0 && variableIsTrue("IMMEDIATE_LOGWRITE")) {
        attributes |= FILE_FLAG_WRITE_THROUGH;
    }
    HANDLE file = CreateFileA(name, input != 0 ? GENERIC_READ : GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                              input != 0 ? OPEN_EXISTING : OPEN_ALWAYS, attributes, nullptr);
    DWORD openError = GetLastError();
    if (file != INVALID_HANDLE_VALUE && input == 0) {
        if (truncate) {
            SetEndOfFile(file);
        } else if (openError == ERROR_ALREADY_EXISTS) {
            SetFilePointer(file, 0, nullptr, FILE_END);
        }
    }
    return file;
}

void SetupChildStdHandles(const char* workingDirectory, const char* const* redirections, HANDLE handles[3])
{
    process_log_entry("SetupChildStdHandles(char*, char*, HANDLE[])");
    static const DWORD standardHandles[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE self = GetCurrentProcess();
    for (int d = 0; d < 3; d++) {
        handles[d] = nullptr;
        if (d == 2 && redirections != nullptr && redirections[1] != nullptr && redirections[2] != nullptr &&
            _stricmp(redirections[1], redirections[2]) == 0) {
            process_log("In special case.  STDOUT and STDERR redirects are the same.");
            // One handle, so both streams share one file position.  A file
            // that did not open stays unopened for both.
            handles[2] = INVALID_HANDLE_VALUE;
            if (isValidHandle(handles[1])) {
                DuplicateHandle(self, handles[1], self, &handles[2], 0, TRUE, DUPLICATE_SAME_ACCESS);
            }
        } else if (redirections != nullptr && redirections[d] != nullptr) {
            logDescriptorLine("For descriptor: [%d], attempting to create a redirection file.\n", d);
            handles[d] = CreateRedirectionFile(workingDirectory, redirections[d], d == 0 ? 1 : 0);
        } else {
            logDescriptorLine("For descriptor: [%d], duplicating OS handle.\n", d);
            HANDLE own = GetStdHandle(standardHandles[d]);
            HANDLE copy = nullptr;
            // The copy is closed once it has been passed on; the server's own
            // standard handle itself must never be, so without a copy the
            // stream gets none.
            if (!isValidHandle(own) || !DuplicateHandle(self, own, self, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
                copy = nullptr;
            }
            DWORD type = copy != nullptr ? GetFileType(copy) : FILE_TYPE_UNKNOWN;
            if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
                handles[d] = copy;
            } else {
                logDescriptorLine("For handle entry: [%d], not a file or pipe, therefore not using.\n", d);
                if (copy != nullptr) {
                    CloseHandle(copy);
                }
            }
        }
    }
    process_log_exit("SetupChildStdHandles(char*, char*, HANDLE[])");
}

static HANDLE launchDirect(char* commandLine, DWORD priorityClass, char* block, const char* workingDirectory,
                           DWORD* processId, DWORD* error)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    process_log("Launching the program without using the process spawner executable.\n");
    process_log("Command executed (with arguments): [%s]\n", commandLine);
    if (workingDirectory != nullptr) {
        process_log("Working directory configured to: [%s]\n", workingDirectory);
    }
    if (block != nullptr && process_log_is_dbg_enabled() != 0) {
        process_log("Emitting the configured environment for that process:\n");
        EmitEnvironmentBlock(block);
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, priorityClass, block, workingDirectory, &startup,
                        &info)) {
        *error = GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    CloseHandle(info.hThread);
    *processId = info.dwProcessId;
    return info.hProcess;
}

// Overlapped I/O on the pipe, waited for to the end.  Fails with
// ERROR_BROKEN_PIPE when the other side went away before all bytes moved.
static bool transferFully(HANDLE pipe, void* buffer, DWORD size, bool write, DWORD* error)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD done = 0;
    unique_handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        *error = GetLastError();
        return false;
    }
    while (done < size) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.get();
        DWORD moved = 0;
        BOOL ok = write ? WriteFile(pipe, bytes + done, size - done, &moved, &overlapped)
                        : ReadFile(pipe, bytes + done, size - done, &moved, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
        }
        if (!ok) {
            *error = GetLastError();
            return false;
        }
        if (moved == 0) {
            *error = ERROR_BROKEN_PIPE;
            return false;
        }
        done += moved;
    }
    return true;
}

// Waits for the spawner to open the pipe.  A spawner that ends first (it
// could not open the pipe, or it crashed) is noticed, so the call never
// hangs on a client that will not come.
static bool waitForSpawner(HANDLE pipe, HANDLE spawner, DWORD* error)
{
    unique_handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        *error = GetLastError();
        return false;
    }
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    if (ConnectNamedPipe(pipe, &overlapped)) {
        return true;
    }
    DWORD status = GetLastError();
    if (status == ERROR_PIPE_CONNECTED) {
        return true;
    }
    if (status != ERROR_IO_PENDING) {
        *error = status;
        return false;
    }
    HANDLE waits[2] = {event.get(), spawner};
    DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    DWORD unused = 0;
    if (which == WAIT_OBJECT_0 && GetOverlappedResult(pipe, &overlapped, &unused, FALSE)) {
        return true;
    }
    *error = which == WAIT_OBJECT_0 + 1 ? ERROR_BROKEN_PIPE : GetLastError();
    CancelIo(pipe);
    GetOverlappedResult(pipe, &overlapped, &unused, TRUE);
    return false;
}

static HANDLE launchThroughSpawner(const char* commandLine, int commandLineLength, DWORD priorityClass, char* block,
                                   const char* workingDirectory, const char* const* redirections, DWORD* processId,
                                   DWORD* error)
{
    // Any client may open the pipe: a present but empty (NULL) DACL.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};

    char shortName[64];
    char pipeName[96];
    snprintf(shortName, sizeof(shortName), "jmon%04d%04d", static_cast<int>(GetCurrentProcessId()),
             static_cast<int>(GetCurrentThreadId()));
    snprintf(pipeName, sizeof(pipeName), "\\\\.\\pipe\\%s", shortName);
    unique_file_handle pipe(CreateNamedPipeA(pipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 0, 5000,
                                             &attributes));
    if (!pipe) {
        *error = GetLastError();
        return INVALID_HANDLE_VALUE;
    }

    HANDLE handles[3];
    SetupChildStdHandles(workingDirectory, redirections, handles);

    char spawnerCommand[96];
    snprintf(spawnerCommand, sizeof(spawnerCommand), "%s %s", "process_spawner", shortName);
    if (process_log_is_dbg_enabled() != 0) {
        EmitEnvironmentBlock(block);
    }
    process_log("Launching the process_spawner executable for creation of processes.\n");
    process_log("Spawner launched via commandline (with arguments): [%s]\n", spawnerCommand);
    if (workingDirectory != nullptr) {
        process_log("Working directory configured to: [%s]\n", workingDirectory);
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(nullptr, spawnerCommand, nullptr, nullptr, FALSE, 0, block, workingDirectory, &startup,
                        &info)) {
        *error = GetLastError();
        for (HANDLE h : handles) {
            if (isValidHandle(h)) {
                CloseHandle(h);
            }
        }
        return INVALID_HANDLE_VALUE;
    }
    CloseHandle(info.hThread);
    unique_handle spawner(info.hProcess);

    // The handles move into the spawner, inheritable there, and are closed
    // here.  A redirection file that did not open is passed as none: the
    // invalid-handle value would otherwise be duplicated as this very process.
    HANDLE self = GetCurrentProcess();
    uint64_t remote[3] = {0, 0, 0};
    for (int i = 0; i < 3; i++) {
        if (!isValidHandle(handles[i])) {
            continue;
        }
        HANDLE there = nullptr;
        if (DuplicateHandle(self, handles[i], spawner.get(), &there, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
            remote[i] = reinterpret_cast<uintptr_t>(there);
        }
        CloseHandle(handles[i]);
        char line[DESCRIPTOR_LINE_SIZE];
        snprintf(line, sizeof(line),
                 "For handle entry [%d]:  Closed this reference after duplication to child process.\n", i);
        process_log("%s", line);
    }
    HANDLE serverThere = nullptr;
    DuplicateHandle(self, self, spawner.get(), &serverThere, 0, FALSE, DUPLICATE_SAME_ACCESS);

    if (!waitForSpawner(pipe.get(), spawner.get(), error)) {
        DisconnectNamedPipe(pipe.get());
        return INVALID_HANDLE_VALUE;
    }

    // The request: the header, then the command line.
    size_t length = commandLineLength > 0 ? static_cast<size_t>(commandLineLength) : 0;
    size_t available = strlen(commandLine);
    if (length > available) {
        length = available;
    }
    auto* request = static_cast<unsigned char*>(malloc(SPAWNER_REQUEST_HEADER_SIZE + length));
    if (request == nullptr) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        DisconnectNamedPipe(pipe.get());
        return INVALID_HANDLE_VALUE;
    }
    SpawnerRequest fields = {reinterpret_cast<uintptr_t>(serverThere),
                             {remote[0], remote[1], remote[2]},
                             priorityClass | DETACHED_PROCESS,
                             static_cast<uint32_t>(length)};
    unsigned char header[SPAWNER_REQUEST_HEADER_SIZE];
    spawner_putRequest(fields, header);
    memcpy(request, header, sizeof(header));
    process_log("Sending the command to the process spawner to launch\n");
    process_log("Command (with arguments) sent was: [%s]\n", commandLine);
    memcpy(request + SPAWNER_REQUEST_HEADER_SIZE, commandLine, length);
    bool sent =
        transferFully(pipe.get(), request, static_cast<DWORD>(SPAWNER_REQUEST_HEADER_SIZE + length), true, error);
    free(request);

    HANDLE child = INVALID_HANDLE_VALUE;
    DWORD value = 0;
    bool replied = false;
    if (sent) {
        process_log("Waiting for child handle data and PID to be returned\n");
        // A reply cut short is a failed launch, never a child without its id.
        unsigned char bytes[SPAWNER_REPLY_SIZE] = {};
        replied = transferFully(pipe.get(), bytes, sizeof(bytes), false, error);
        if (replied) {
            SpawnerReply reply = spawner_getReply(bytes);
            child = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(reply.child)); // NOLINT(performance-no-int-to-ptr)
            value = reply.value;
        }
    }
    process_log("Launch results retrieved.  Cleaning up.\n");
    process_log("Child handle was: [0x%x]\n", static_cast<unsigned int>(reinterpret_cast<uintptr_t>(child)));
    process_log("PID returned was: [%d].  If child handle was 0x0, then PID indicates the error from the launch.\n",
                static_cast<int>(value));
    DisconnectNamedPipe(pipe.get());

    if (!replied) {
        return INVALID_HANDLE_VALUE;
    }
    if (child == nullptr || child == INVALID_HANDLE_VALUE) {
        // Either way the value is the error of the failed start.  A failure
        // must never read as success, even from a spawner that reports no
        // error code.
        *error = value != 0 ? value : ERROR_INVALID_DATA;
        return INVALID_HANDLE_VALUE;
    }
    *processId = value;
    return child;
}

static void prepareWorkingDirectory(const char* directory, DWORD* error)
{
    *error = 0;
    if (strcmp(directory, "\\") == 0 || strcmp(directory, "/") == 0) {
        return;
    }
    bool drive = strlen(directory) <= 3 && directory[0] != '\0' && directory[1] == ':';
    if (CreateDirectoryA(directory, nullptr)) {
        return;
    }
    DWORD failure = GetLastError();
    if (failure == ERROR_ALREADY_EXISTS || (drive && failure == ERROR_ACCESS_DENIED)) {
        return;
    }
    *error = failure;
}

DWORD win32_CreateProcess(const char* commandLine, int commandLineLength, const char** environment,
                          const char* workingDirectory, int priority, const char* const* redirections, DWORD* processId,
                          HANDLE* processHandle, int direct)
{
    process_log_entry("win32_CreateProcess()");
    *processHandle = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    if (workingDirectory != nullptr) {
        prepareWorkingDirectory(workingDirectory, &error);
        if (error != 0) {
            process_log_exit("win32_CreateProcess()");
            return error;
        }
    }
    if (commandLine == nullptr) {
        process_log_exit("win32_CreateProcess()");
        return WIN32_LAUNCH_REQUEST_ERROR;
    }
    char* block = nullptr;
    if (win32_GenerateEnvBlock(environment, &block) == 0) {
        process_log_exit("win32_CreateProcess()");
        return WIN32_LAUNCH_REQUEST_ERROR;
    }

    DWORD priorityClass = win32_PriorityClass(priority);
    HANDLE child = INVALID_HANDLE_VALUE;
    if (direct != 0) {
        // CreateProcessA may write into the command line it is given.
        size_t length = strlen(commandLine);
        char* mutableLine = static_cast<char*>(malloc(length + 1));
        if (mutableLine == nullptr) {
            error = ERROR_NOT_ENOUGH_MEMORY;
        } else {
            memcpy(mutableLine, commandLine, length + 1);
            child = launchDirect(mutableLine, priorityClass, block, workingDirectory, processId, &error);
            free(mutableLine);
        }
    } else {
        child = launchThroughSpawner(commandLine, commandLineLength, priorityClass, block, workingDirectory,
                                     redirections, processId, &error);
    }
    *processHandle = child;
    win32_FreeEnvString(block);
    process_log_exit("win32_CreateProcess()");
    if (isValidHandle(child)) {
        return 0;
    }
    // Never a failure without a code: a launch that ended without one still
    // must not read as success.
    return error != 0 ? error : ERROR_INVALID_FUNCTION;
}
