// Environment keys: extraction, comparison and the additive merge.
#include "procctl/process_env.h"

#include "procctl/process_log.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

const char* const process_additiveVariables[5] = {"PATH", "LIBPATH", "CLASSPATH", "SHLIB_PATH", "LD_LIBRARY_PATH"};

void GetKey(const char* entry, char* buffer, size_t size)
{
    process_log_entry("GetKey");
    if (entry == nullptr) {
        process_log("Buffer array passed into GetKey was null.\n");
    } else if (size == 1) {
        buffer[0] = '\0';
    } else if (size > 1) {
        // At most size - 2 characters: 1022 for a 1024-byte buffer.
        size_t limit = size - 2;
        size_t length = 0;
        while (length < limit && entry[length] != '\0' && entry[length] != '=') {
            length++;
        }
        memcpy(buffer, entry, length);
        buffer[length] = '\0';
        process_log("Key array was size: [%d].  Key terminated at array index [%d]\n", static_cast<int>(size),
                    static_cast<int>(length));
        process_log("Key obtained was: [%s]\n", buffer);
        process_log("Key obtained was: [%s]\n", buffer);
    }
    process_log_exit("GetKey");
}

int TestKeys(const char* a, const char* b)
{
    process_log_entry("TestKeys");
    int result = 0;
    if (a == nullptr && b == nullptr) {
        result = 0;
    } else if (a == nullptr) {
        result = 1;
    } else if (b == nullptr) {
        result = -1;
    } else {
        char keyA[PROCESS_KEY_BUFFER_SIZE];
        char keyB[PROCESS_KEY_BUFFER_SIZE];
        GetKey(a, keyA, sizeof(keyA));
        GetKey(b, keyB, sizeof(keyB));
        result = strcasecmp(keyA, keyB);
    }
    process_log_exit("TestKeys");
    return result;
}

const char* process_entryValue(const char* entry)
{
    const char* equals = strchr(entry, '=');
    return equals != nullptr ? equals + 1 : "";
}

size_t process_appendPathElements(char* out, size_t used, const char* value)
{
    const char* element = value;
    while (*element != '\0') {
        const char* end = strchr(element, ':');
        size_t length = end != nullptr ? static_cast<size_t>(end - element) : strlen(element);
        if (length > 0) {
            if (used > 0) {
                out[used++] = ':';
            }
            // The caller ends the text once every element is in.
            memcpy(out + used, element, length); // NOLINT(bugprone-not-null-terminated-result)
            used += length;
        }
        element += length;
        if (*element == ':') {
            element++;
        }
    }
    return used;
}

int GenerateAdditiveString(const char* key, char** list1, char** list2, char** list3, char** out)
{
    if (out == nullptr) {
        return 0;
    }
    *out = nullptr;
    if (key == nullptr) {
        return 1;
    }

    char** lists[3] = {list1, list2, list3};
    const char* found[3] = {nullptr, nullptr, nullptr};
    int count = 0;
    for (char** list : lists) {
        if (list == nullptr) {
            continue;
        }
        for (char** entry = list; *entry != nullptr; entry++) {
            if (TestKeys(*entry, key) == 0) {
                found[count++] = *entry;
                break;
            }
        }
    }
    if (count < 2) {
        return 1;
    }

    // key "=" and the values' elements joined by ":", an empty element (the
    // current directory) never among them: an entry without a value adds
    // nothing.  The size counts every value in full plus a separator each.
    size_t keyLength = strlen(key);
    size_t size = keyLength + 2;
    for (int i = 0; i < count; i++) {
        size += strlen(process_entryValue(found[i])) + 1;
    }
    char* merged = static_cast<char*>(malloc(size));
    if (merged == nullptr) {
        return 0;
    }
    size_t used = 0;
    for (int i = 0; i < count; i++) {
        used = process_appendPathElements(merged + keyLength + 1, used, process_entryValue(found[i]));
    }
    if (used == 0) {
        // Nothing but empty elements: nothing to merge.
        free(merged);
        return 1;
    }
    memcpy(merged, key, keyLength);
    merged[keyLength] = '=';
    merged[keyLength + 1 + used] = '\0';
    *out = merged;
    return 1;
}
