// Strings and string arrays between Java and the native code set, and the
// record address that Java keeps as a long.
//
// Every conversion is bounded by the caller's buffer size and leaves the
// buffer terminated at its last byte at the latest.
#pragma once

#include <cstddef>
#include <jni.h>

extern "C" {

JNIEXPORT char* process_stringConverterToUTF8(char* dst, const char* src, size_t size);
JNIEXPORT char* process_stringConverterFromUTF8(char* dst, const char* src, size_t size);

JNIEXPORT char* process_GetNativeStringFromJString(JNIEnv* env, char* dst, jstring str, size_t size);
JNIEXPORT char* process_GetNativeStringFromArray(JNIEnv* env, char* dst, jbyteArray array, size_t size);

// Native string arrays: n + 1 malloc'd pointers, the last null.  A null slot
// ends the array for every consumer.
JNIEXPORT char** javaStrArrayToCStrArray(JNIEnv* env, jobjectArray array);
JNIEXPORT char** jByteArrArrayToCStrArray(JNIEnv* env, jobjectArray array);
JNIEXPORT void ReleaseCStrArray(char** array);

JNIEXPORT jlong process_ConvertPointerTo64(void* pointer);
JNIEXPORT void* process_ConvertJlongToPointer(jlong value);
}

// A Java string in the native code set (from its UTF-16 form, through UTF-8),
// whole and exactly sized; the UTF-8 form when the code set cannot hold it.
// Null with *err ENOMEM, or EINVAL when the string holds U+0000 (a C string
// would end there).
char* process_NewNativeString(JNIEnv* env, jstring str, int* err);
// The same for each element of a String[], as a native string array (ending
// at the first null element); null with *err when one element fails.
char** process_NewNativeStringArray(JNIEnv* env, jobjectArray array, int* err);
// A Java string from UTF-8 text, through UTF-16; each byte of a malformed
// sequence becomes U+FFFD.  Null when the JVM or memory refuses.
jstring process_NewJavaStringFromUTF8(JNIEnv* env, const char* text);

// A Java String[] of n entries, entry i made by makeEntry; each slot holds the
// empty string until filled.  Null when n is 0 or the JVM refuses (an
// exception is then pending).
jobjectArray process_NewStringArray(JNIEnv* env, jsize n, jstring (*makeEntry)(JNIEnv* env, jsize index));

// Copies at most size bytes and terminates at byte size - 1; nothing for size 0.
void process_copyBounded(char* dst, const char* src, size_t size);
