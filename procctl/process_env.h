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

extern "C" {

JNIEXPORT void GetKey(const char* entry, char* buffer, size_t size);
JNIEXPORT int TestKeys(const char* a, const char* b);
JNIEXPORT int GenerateAdditiveString(const char* key, char** list1, char** list2, char** list3, char** out);
}
