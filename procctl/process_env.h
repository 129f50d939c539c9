// Environment entries (NAME=value): key extraction, key comparison and the
// merge of path-like variables across entry lists.
#pragma once

#include <cstddef>
#include <jni.h>

// Size of the key buffers TestKeys compares in.
constexpr size_t PROCESS_KEY_BUFFER_SIZE = 1024;

// Variables whose requested value goes in front of the inherited one instead
// of replacing it, in the order they are tested.
extern const char* const process_additiveVariables[5];

// The value of an entry: the text after its first "=", or "" without one.
const char* process_entryValue(const char* entry);
// Appends the non-empty ":"-separated elements of `value` to `out`, which
// holds `used` characters, with a ":" before each but a first one; answers
// the new length.  `out` needs room for strlen(value) + 1 more characters.
size_t process_appendPathElements(char* out, size_t used, const char* value);

extern "C" {

JNIEXPORT void GetKey(const char* entry, char* buffer, size_t size);
JNIEXPORT int TestKeys(const char* a, const char* b);
// The first entry for `key` in each list, merged as key=value1:value2...
// without empty elements; null in `out` (and 1) when fewer than two lists
// have the key or no element is left.  0 when memory runs out.
JNIEXPORT int GenerateAdditiveString(const char* key, char** list1, char** list2, char** list3, char** out);
}
