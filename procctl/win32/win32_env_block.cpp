// Environment blocks for CreateProcessA: the server's environment, sorted
// case-insensitively, with the caller's variables laid over it and PATH
// merged instead of replaced.
//
// Two kinds of entry array are used here and must not be mixed up: an owning
// array (every entry a heap copy, released by FreeEnvironBlock) and a sorted
// view (borrowed pointers; releasing it frees only the array).
#include "common/win32.h"
#include "procctl/process_env.h"
#include "procctl/process_log.h"
#include "procctl/win32/win32_process.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

const char* const win32_mergeVariables[] = {"PATH", nullptr};

// Set once the runtime library has built its wide environment table.
static int wideEnvironmentReady = 0;

static size_t countEntries(char* const* entries)
{
    size_t n = 0;
    while (entries[n] != nullptr) {
        n++;
    }
    return n;
}

static char* copyOf(const char* text)
{
    size_t length = strlen(text);
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy != nullptr) {
        memcpy(copy, text, length + 1);
    }
    return copy;
}

// The runtime library builds its wide table alongside the narrow one only
// once a wide environment function has been used; these look-ups make it do
// so.  Their results do not matter.
void win32_PrepareWideEnvironment(void)
{
    (void)getenv("");
    wchar_t emptyName[4] = {0};
    MultiByteToWideChar(CP_ACP, 0, "", -1, emptyName, 4);
    (void)_wgetenv(emptyName);
}

void FreeEnvironBlock(char** array)
{
    process_log_entry("FreeEnvironBlock(char*)");
    if (array != nullptr) {
        for (char** entry = array; *entry != nullptr; entry++) {
            free(*entry);
        }
        free(array);
    }
    process_log_exit("FreeEnvironBlock(char*)");
}

// One wide entry in the ANSI code page, exactly sized; null when memory runs out.
static char* ansiCopyOfWide(const wchar_t* wide)
{
    size_t room = 3 * (wcslen(wide) + 1);
    char* large = static_cast<char*>(calloc(room, 1));
    if (large == nullptr) {
        process_log("Could not allocate a char array for an ANSI encoded string.");
        return nullptr;
    }
    WideCharToMultiByte(CP_ACP, 0, wide, -1, large, static_cast<int>(room), nullptr, nullptr);
    large[room - 1] = '\0';
    char* exact = copyOf(large);
    if (exact == nullptr) {
        process_log("Could not allocate a char array for an ANSI encoded string.  Using mallocated temp buffer "
                    "storage.");
        return large;
    }
    free(large);
    return exact;
}

char* Win32_GetCurrentEnvironmentBlock(int* fromSystem)
{
    process_log_entry("Win32_GetCurrentEnvironmentBlock()");
    if (fromSystem != nullptr) {
        *fromSystem = 0;
    }
    if (wideEnvironmentReady == 0) {
        process_log("Trying to initialize unicode enviroment.\n");
        win32_PrepareWideEnvironment();
        wideEnvironmentReady = 1;
    }

    char* block = nullptr;
    wchar_t** table = _wenviron;
    if (table == nullptr) {
        process_log("Could not generate unicode environment for conversion.  Fallback to GetEnvironmentStrings()");
    } else {
        process_log("Fetched the unicode format of the current environment.\n");
        size_t n = 0;
        while (table[n] != nullptr) {
            n++;
        }
        char** converted = static_cast<char**>(calloc(n + 1, sizeof(char*)));
        if (converted == nullptr) {
            process_log("Could not allocate a new array to hold an ANSI environment.  Fallback to "
                        "GetEnvironmentStrings()");
        } else {
            process_log("Allocating ANSI format of the current environment.\n");
            size_t total = 0;
            for (size_t i = 0; i < n; i++) {
                converted[i] = ansiCopyOfWide(table[i]);
                if (converted[i] != nullptr) {
                    total += strlen(converted[i]) + 1;
                }
            }
            block = static_cast<char*>(calloc(total + 1, 1));
            if (block == nullptr) {
                process_log("Could not allocate a block of memory for the parent environment block.  Fallback to "
                            "GetEnvironmentStrings()");
            } else {
                process_log("New environment block allocated.  Size is: [%d] bytes\n", static_cast<int>(total + 1));
                size_t written = 0;
                for (size_t i = 0; i < n; i++) {
                    if (converted[i] == nullptr) {
                        continue;
                    }
                    size_t length = strlen(converted[i]) + 1;
                    memcpy(block + written, converted[i], length);
                    written += length;
                    process_log("Total amount written to env block: [%d] bytes.  Space remaining in env block: [%d] "
                                "bytes\n",
                                static_cast<int>(written), static_cast<int>(total + 1 - written));
                }
                block[written] = '\0';
                process_log("Total amount written to env block: [%d] bytes.  Space remaining in env block: [%d].  "
                            "This was the final write to NULLBYTE terminate the block.\n",
                            static_cast<int>(written + 1), static_cast<int>(total - written));
            }
            for (size_t i = 0; i < n; i++) {
                free(converted[i]);
            }
            free(converted);
        }
    }
    if (block == nullptr) {
        block = GetEnvironmentStrings();
        if (fromSystem != nullptr) {
            *fromSystem = 1;
        }
    }
    process_log_exit("Win32_GetCurrentEnvironmentBlock()");
    return block;
}

void Win32_FreeCurrentEnvironmentBlock(char* block, int fromSystem)
{
    process_log_entry("Win32_FreeCurrentEnvironmentBlock(void *)");
    if (fromSystem == 1) {
        process_log("Deallocating using Windows default FreeEnvironmentStrings()\n");
        FreeEnvironmentStringsA(block);
    } else {
        process_log("Deallocating using free() on custom env block.\n");
        free(block);
    }
    process_log_exit("Win32_FreeCurrentEnvironmentBlock(void *)");
}

int ConstructParentEnvBlock(char*** out)
{
    process_log_entry("ConstructParentEnvBlock(char ***)");
    if (out == nullptr) {
        return 0;
    }
    *out = nullptr;
    int fromSystem = 0;
    char* block = Win32_GetCurrentEnvironmentBlock(&fromSystem);
    process_log("Assembling parent environment block for use with generation of a custom environment.\n");

    // Entries that begin with "=" are the system's hidden per-drive current
    // directories; a child gets its own.
    size_t count = 0;
    for (const char* entry = block; entry != nullptr && *entry != '\0'; entry += strlen(entry) + 1) {
        if (*entry != '=') {
            count++;
        }
    }
    int result = 1;
    char** array = static_cast<char**>(calloc(count + 1, sizeof(char*)));
    if (array == nullptr) {
        result = 0;
    } else {
        size_t i = 0;
        for (const char* entry = block; entry != nullptr && *entry != '\0'; entry += strlen(entry) + 1) {
            if (*entry == '=') {
                continue;
            }
            array[i] = copyOf(entry);
            // The merge needs the whole environment: one lost entry would
            // silently drop a variable from every child.
            if (array[i] == nullptr) {
                FreeEnvironBlock(array);
                array = nullptr;
                result = 0;
                break;
            }
            i++;
        }
    }
    Win32_FreeCurrentEnvironmentBlock(block, fromSystem);
    *out = array;
    process_log_exit("ConstructParentEnvBlock(char ***)");
    return result;
}

static int compareEntries(const void* a, const void* b)
{
    const char* left = *static_cast<char* const*>(a);
    const char* right = *static_cast<char* const*>(b);
    if (left == nullptr || right == nullptr) {
        return (left == nullptr ? 1 : 0) - (right == nullptr ? 1 : 0);
    }
    return _stricmp(left, right);
}

int CreateSortedBlockFromEnv(char** entries, char*** view, size_t* size)
{
    process_log_entry("CreateSortedBlockFromEnv(char *, char ***, size_t *)");
    size_t n = entries != nullptr ? countEntries(entries) : 0;
    char** sorted = static_cast<char**>(calloc(n + 1, sizeof(char*)));
    if (sorted == nullptr) {
        return 0;
    }
    size_t bytes = 0;
    for (size_t i = 0; i < n; i++) {
        sorted[i] = entries[i];
        bytes += strlen(entries[i]) + 1;
    }
    qsort(sorted, n, sizeof(char*), compareEntries);
    *view = sorted;
    *size = bytes;
    process_log_exit("CreateSortedBlockFromEnv(char *, char ***, size_t *)");
    return 1;
}

static int deepCopyStringArray(char** source, char** destination)
{
    process_log_entry("win32_deepCopyStringArray()");
    int result = 1;
    for (size_t i = 0; source[i] != nullptr; i++) {
        destination[i] = copyOf(source[i]);
        if (destination[i] == nullptr) {
            result = 0;
            break;
        }
    }
    process_log_exit("win32_deepCopyStringArray()");
    return result;
}

static bool isMergeVariable(const char* entry, const char* const* mergeList)
{
    for (const char* const* name = mergeList; name != nullptr && *name != nullptr; name++) {
        if (TestKeys(entry, *name) == 0) {
            return true;
        }
    }
    return false;
}

// The requested entry, ";" unless it already ends in one, then the value of
// the inherited entry.
static char* mergedEntry(const char* requested, const char* existing)
{
    const char* equals = strchr(existing, '=');
    const char* value = equals != nullptr ? equals + 1 : "";
    size_t requestedLength = strlen(requested);
    char* merged = static_cast<char*>(malloc(strlen(existing) + requestedLength + 2));
    if (merged == nullptr) {
        return nullptr;
    }
    process_log("Allocated new string to hold merged contents and copying ocntents of both into the new string.\n");
    memcpy(merged, requested, requestedLength);
    size_t at = requestedLength;
    if (requestedLength == 0 || requested[requestedLength - 1] != ';') {
        merged[at++] = ';';
    }
    strcpy(merged + at, value);
    return merged;
}

static int mergeInto(char** request, char** merged, const char* const* mergeList)
{
    for (size_t r = 0; request[r] != nullptr; r++) {
        const char* requested = request[r];
        size_t slot = 0;
        while (merged[slot] != nullptr && TestKeys(merged[slot], requested) != 0) {
            slot++;
        }
        if (merged[slot] == nullptr) {
            process_log("No collision/match found.  Therefore assigning value: [%s] to memory position in array: "
                        "[0x%x]\n",
                        requested, static_cast<unsigned int>(reinterpret_cast<uintptr_t>(&merged[slot])));
            merged[slot] = copyOf(requested);
            if (merged[slot] == nullptr) {
                return 0;
            }
            continue;
        }
        process_log("Case insensitive collision hit.  Need to determine if we merge or just insert.\n");
        char* replacement = nullptr;
        if (!isMergeVariable(requested, mergeList)) {
            process_log("Not a special case merge variable, therefore over-writing.  Assigning value [%s] to memory "
                        "position in array: [0x%x]\n",
                        requested, static_cast<unsigned int>(reinterpret_cast<uintptr_t>(&merged[slot])));
            replacement = copyOf(requested);
            if (replacement == nullptr) {
                return 0;
            }
        } else {
            process_log("Special case variable which requires merging, not over-writing..\n");
            replacement = mergedEntry(requested, merged[slot]);
            if (replacement == nullptr) {
                process_log("Allocation for merge failed.  Therefore abort out, memory problems on the OS.\n");
                return 0;
            }
            process_log("Assigning in merged value: [%s] to memory position in array: [0x%x]\n", replacement,
                        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(&merged[slot])));
        }
        free(merged[slot]);
        merged[slot] = replacement;
    }
    return 1;
}

int MergeEnvironmentBlocks(char** request, char** baseline, const char* const* mergeList, char*** out)
{
    process_log_entry("MergeEnvironmentBlocks()");
    int result = 0;
    if (out == nullptr) {
        process_log("Destination pointer is NULL.  Setting FALSE return.\n");
    } else if (*out = nullptr; request == nullptr || baseline == nullptr) {
        process_log("One of the merge arrays is NULL, setting FALSE return.\n");
    } else {
        size_t capacity = 1 + countEntries(request) + countEntries(baseline);
        process_log("Computed total entries to merge together to be: [%d].\n", static_cast<int>(capacity));
        char** merged = static_cast<char**>(calloc(capacity, sizeof(char*)));
        if (merged == nullptr) {
            process_log("Failed to allocate merged array.  Setting FALSE return.\n");
        } else {
            process_log("Newly allocated array flushed and starts at address: [0x%x] and ends at address: [0x%x]\n",
                        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(merged)),
                        static_cast<unsigned int>(reinterpret_cast<uintptr_t>(merged + capacity)));
            // Whatever is built is handed back, also on failure, so that the
            // caller releases it.
            *out = merged;
            if (deepCopyStringArray(baseline, merged) != 0) {
                process_log("Deep-copied over the src2 array (baseline array).\n");
                process_log("Comparing the array contents and merging/adding as needed to the new array.\n");
                result = mergeInto(request, merged, mergeList);
                if (result != 0) {
                    process_log("Array comparision complete.  Setting merge successful and setting destination "
                                "pointer to the newly merged environment array.\n");
                }
            }
        }
    }
    process_log_exit("MergeEnvironmentBlocks()");
    return result;
}

int win32_GenerateEnvBlock(const char** request, char** out)
{
    process_log_entry("win32_GenerateEnvBlock(const char **, char **)");
    if (out == nullptr) {
        return 0;
    }
    if (request == nullptr) {
        *out = nullptr;
        process_log_exit("win32_GenerateEnvBlock(const char **, char **)");
        return 1;
    }

    char** requestView = nullptr;
    size_t requestSize = 0;
    if (CreateSortedBlockFromEnv(const_cast<char**>(request), &requestView, &requestSize) == 0) {
        *out = nullptr;
        return 0;
    }
    int result = 0;
    char** parent = nullptr;
    char** baselineView = nullptr;
    char** merged = nullptr;
    char* block = nullptr;
    size_t baselineSize = 0;
    if (ConstructParentEnvBlock(&parent) != 0 && CreateSortedBlockFromEnv(parent, &baselineView, &baselineSize) != 0 &&
        MergeEnvironmentBlocks(requestView, baselineView, win32_mergeVariables, &merged) != 0) {
        // The merged entries and two more bytes: the final NUL, and the
        // second NUL that an empty block needs, since the block's readers
        // look for two NULs in a row.  It never exceeds the two blocks
        // together plus those two.
        size_t size = 2;
        for (char** entry = merged; *entry != nullptr; entry++) {
            size += strlen(*entry) + 1;
        }
        block = static_cast<char*>(malloc(size));
        if (block != nullptr) {
            size_t at = 0;
            for (char** entry = merged; *entry != nullptr; entry++) {
                size_t length = strlen(*entry) + 1;
                memcpy(block + at, *entry, length);
                at += length;
            }
            block[at] = '\0';
            block[at + 1] = '\0';
            result = 1;
        }
    }
    FreeEnvironBlock(parent);
    FreeEnvironBlock(merged);
    free(requestView);
    free(baselineView);
    *out = block;
    process_log_exit("win32_GenerateEnvBlock(const char **, char **)");
    return result;
}

void win32_FreeEnvString(char* block)
{
    process_log_entry("win32_FreeEnvString(char *)");
    free(block);
    process_log_exit("win32_FreeEnvString(char *)");
}

void EmitEnvironmentBlock(const char* block)
{
    if (block == nullptr) {
        return;
    }
    process_log(" [BEGIN EMIT OF GENERATED PROCESS ENVIRONMENT]\n");
    const char* entry = block;
    do {
        printf("%s\n", entry);
        entry += strlen(entry) + 1;
    } while (*entry != '\0');
    process_log(" [END EMIT OF GENERATED PROCESS ENVIRONMENT]\n");
}
