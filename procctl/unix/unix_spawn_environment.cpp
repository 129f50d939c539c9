// The child's environment, prepared by the parent: a copy of the server's
// environment with the requested entries laid over it and the additive
// variables merged.
#include "procctl/unix/unix_spawn_plan.h"

#include "procctl/process_env.h"
#include "procctl/process_error.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace {

size_t countEntries(char** list)
{
    size_t n = 0;
    while (list != nullptr && list[n] != nullptr) {
        n++;
    }
    return n;
}

size_t nameLength(const char* entry)
{
    const char* equals = strchr(entry, '=');
    return equals != nullptr ? static_cast<size_t>(equals - entry) : strlen(entry);
}

// The additive variable an entry names (compared ignoring case), or -1.
int additiveIndex(const char* entry)
{
    size_t length = nameLength(entry);
    for (int i = 0; i < 5; i++) {
        const char* name = process_additiveVariables[i];
        if (strlen(name) == length && strncasecmp(entry, name, length) == 0) {
            return i;
        }
    }
    return -1;
}

// Entry names (exact) to their index in an entry array: open addressing over
// a power-of-two table at most half full.
struct NameTable {
    int* slots;
    size_t mask;
    char** entries;
};

bool initNameTable(NameTable* table, char** entries, size_t capacity)
{
    size_t size = 16;
    while (size < 2 * capacity + 1) {
        size *= 2;
    }
    table->slots = static_cast<int*>(malloc(size * sizeof(int)));
    table->mask = size - 1;
    table->entries = entries;
    if (table->slots == nullptr) {
        return false;
    }
    memset(table->slots, 0xff, size * sizeof(int)); // every slot -1: empty
    return true;
}

// The slot of `entry`'s name: the index of the entry with that name, or -1
// where it would go.
int* findName(NameTable* table, const char* entry)
{
    size_t length = nameLength(entry);
    size_t hash = 14695981039346656037ULL;
    for (size_t i = 0; i < length; i++) {
        hash = (hash ^ static_cast<unsigned char>(entry[i])) * 1099511628211ULL;
    }
    for (size_t i = hash & table->mask;; i = (i + 1) & table->mask) {
        int index = table->slots[i];
        if (index < 0) {
            return &table->slots[i];
        }
        const char* other = table->entries[index];
        if (nameLength(other) == length && memcmp(other, entry, length) == 0) {
            return &table->slots[i];
        }
    }
}

// A copy of the server's environment as it is now: the child must not read
// the live one, which other threads may change (and free) meanwhile.
int snapshotEnvironment(SpawnPlan* plan, size_t room, size_t* count, int* sysErr)
{
    char** live = environ;
    size_t n = countEntries(live);
    size_t bytes = 0;
    for (size_t i = 0; i < n; i++) {
        bytes += strlen(live[i]) + 1;
    }
    plan->envp = static_cast<char**>(calloc(n + room + 1, sizeof(char*)));
    plan->environmentCopy = static_cast<char*>(malloc(bytes > 0 ? bytes : 1));
    if (plan->envp == nullptr || plan->environmentCopy == nullptr) {
        *sysErr = ENOMEM;
        return PROC_OUT_OF_MEMORY;
    }
    char* next = plan->environmentCopy;
    for (size_t i = 0; i < n; i++) {
        size_t length = strlen(live[i]) + 1;
        memcpy(next, live[i], length);
        plan->envp[i] = next;
        next += length;
    }
    *count = n;
    return PROC_SUCCESS;
}

// requested value ":" inherited value, as elements, without empty ones; null
// (and *failed false) when the request has no element: it adds nothing.
char* mergeAdditive(const char* entry, const char* inherited, bool* failed)
{
    size_t keyLength = nameLength(entry);
    const char* value = process_entryValue(entry);
    size_t inheritedLength = inherited != nullptr ? strlen(inherited) : 0;
    char* merged = static_cast<char*>(malloc(keyLength + strlen(value) + inheritedLength + 3));
    if (merged == nullptr) {
        *failed = true;
        return nullptr;
    }
    char* values = merged + keyLength + 1;
    size_t used = process_appendPathElements(values, 0, value);
    if (used == 0) {
        free(merged);
        return nullptr;
    }
    if (inherited != nullptr) {
        used = process_appendPathElements(values, used, inherited);
    }
    memcpy(merged, entry, keyLength);
    merged[keyLength] = '=';
    values[used] = '\0';
    return merged;
}

} // namespace

// The child's environment: the server's, with the requested entries laid
// over it.  A name requested more than once counts once, the last entry
// winning.  An entry NAME=value sets NAME; a bare NAME removes it.  The
// additive variables (PATH and the like, named in any case) get the
// requested elements in front of the inherited ones; a request without a
// value leaves the inherited value as it is.  Linear in the number of
// entries: names are found through hash tables.
int unix_BuildChildEnvironment(SpawnPlan* plan, char** requested, int* sysErr)
{
    size_t wanted = countEntries(requested);
    size_t count = 0;
    int result = snapshotEnvironment(plan, wanted, &count, sysErr);
    if (result != PROC_SUCCESS || requested == nullptr) {
        return result;
    }
    size_t inherited = count;

    const char* inheritedAdditive[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    for (size_t i = 0; i < inherited; i++) {
        int k = additiveIndex(plan->envp[i]);
        if (k >= 0 && inheritedAdditive[k] == nullptr) {
            inheritedAdditive[k] = process_entryValue(plan->envp[i]);
        }
    }

    NameTable names{};
    NameTable requests{};
    bool* removed = static_cast<bool*>(calloc(inherited + wanted + 1, sizeof(bool)));
    plan->mergedEntries = static_cast<char**>(calloc(wanted + 1, sizeof(char*)));
    bool failed = removed == nullptr || plan->mergedEntries == nullptr ||
                  !initNameTable(&names, plan->envp, inherited + wanted) ||
                  !initNameTable(&requests, requested, wanted);
    for (size_t i = 0; !failed && i < inherited; i++) {
        int* slot = findName(&names, plan->envp[i]);
        if (*slot < 0) {
            *slot = static_cast<int>(i);
        }
    }
    for (size_t i = 0; !failed && i < wanted; i++) {
        *findName(&requests, requested[i]) = static_cast<int>(i);
    }

    size_t merged = 0;
    for (size_t i = 0; !failed && i < wanted; i++) {
        char* entry = requested[i];
        if (*findName(&requests, entry) != static_cast<int>(i)) {
            continue; // a later entry names the same variable
        }
        bool bare = strchr(entry, '=') == nullptr;
        int k = additiveIndex(entry);
        if (k >= 0) {
            entry = mergeAdditive(entry, inheritedAdditive[k], &failed);
            if (entry == nullptr) {
                continue;
            }
            plan->mergedEntries[merged++] = entry;
            bare = false;
        }
        int* slot = findName(&names, entry);
        if (*slot >= 0) {
            plan->envp[*slot] = entry;
            removed[*slot] = bare;
        } else if (!bare) {
            plan->envp[count] = entry;
            *slot = static_cast<int>(count++);
        }
    }

    size_t kept = 0;
    for (size_t i = 0; !failed && i < count; i++) {
        if (!removed[i]) {
            plan->envp[kept++] = plan->envp[i];
        }
    }
    if (!failed) {
        plan->envp[kept] = nullptr;
    }
    free(removed);
    free(names.slots);
    free(requests.slots);
    if (failed) {
        *sysErr = ENOMEM;
        return PROC_OUT_OF_MEMORY;
    }
    return PROC_SUCCESS;
}
