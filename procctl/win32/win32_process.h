// Windows process control: environment blocks, launch, and the process
// record behind the Win32ProcessGlue handles.  Include after common/win32.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <jni.h>

// One created or bound process; its address is the handle Java keeps.
struct Win32ProcessRecord {
    HANDLE processHandle; // INVALID_HANDLE_VALUE after a failed launch
    DWORD processId;
};

// Result of win32_CreateProcess when the command line is missing or the
// environment block could not be generated.
constexpr DWORD WIN32_LAUNCH_REQUEST_ERROR = 7;

// The longest path a redirection file may have, and the longest working
// directory the launch accepts (the buffers that hold them are one larger).
constexpr size_t WIN32_REDIRECTION_PATH_MAX = 260;
constexpr size_t WIN32_DIRECTORY_BUFFER_SIZE = 8196;

extern "C" {

// Environment blocks (NAME=value entries, each NUL-terminated, one more NUL
// after the last).
JNIEXPORT int win32_GenerateEnvBlock(const char** request, char** out);
JNIEXPORT void win32_FreeEnvString(char* block);
JNIEXPORT int ConstructParentEnvBlock(char*** out);
JNIEXPORT int CreateSortedBlockFromEnv(char** entries, char*** view, size_t* size);
JNIEXPORT int MergeEnvironmentBlocks(char** request, char** baseline, const char* const* mergeList, char*** out);
JNIEXPORT char* Win32_GetCurrentEnvironmentBlock(int* fromSystem);
JNIEXPORT void Win32_FreeCurrentEnvironmentBlock(char* block, int fromSystem);
JNIEXPORT void FreeEnvironBlock(char** array);
JNIEXPORT void EmitEnvironmentBlock(const char* block);

// Launch.  Returns 0, a Windows error code, or WIN32_LAUNCH_REQUEST_ERROR.
JNIEXPORT DWORD win32_CreateProcess(const char* commandLine, int commandLineLength, const char** environment,
                                    const char* workingDirectory, int priority, const char* const* redirections,
                                    DWORD* processId, HANDLE* processHandle, int direct);
// The creation flag for a priority value.
JNIEXPORT DWORD win32_PriorityClass(int priority);
// Opens a redirection file: NULL for no path, INVALID_HANDLE_VALUE on failure.
JNIEXPORT HANDLE CreateRedirectionFile(const char* workingDirectory, const char* path, int input);
// Fills the child's three standard handles (NULL for none).
JNIEXPORT void SetupChildStdHandles(const char* workingDirectory, const char* const* redirections, HANDLE handles[3]);

// Process operations, each returning 0 or a Windows error code.
JNIEXPORT DWORD win32_BindToProcess(DWORD processId, Win32ProcessRecord* record);
JNIEXPORT DWORD win32_TerminateProcess(HANDLE process);
}

// Makes the runtime library build its wide environment table.
void win32_PrepareWideEnvironment(void);

// The merge list: variables whose requested value goes in front of the
// inherited one.
extern const char* const win32_mergeVariables[];
