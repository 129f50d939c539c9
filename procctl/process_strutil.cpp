// Java strings and arrays to native strings and arrays, the same on every
// platform; the code-set conversions themselves are the platform's.
#include "procctl/process_strutil.h"

#include "procctl/process_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

void process_copyBounded(char* dst, const char* src, size_t size)
{
    if (size == 0) {
        return;
    }
    size_t length = strnlen(src, size - 1);
    memcpy(dst, src, length);
    dst[length] = '\0';
}

// Converts UTF-8 bytes into the native code set; when that fails the UTF-8
// bytes are used as they are, so the string still reaches the system.
static void nativeFromUTF8(char* dst, const char* utf8, size_t size, const char* failureText)
{
    if (process_stringConverterFromUTF8(dst, utf8, size) == nullptr) {
        process_copyBounded(dst, utf8, size);
        process_log(failureText, dst);
    }
}

char* process_GetNativeStringFromJString(JNIEnv* env, char* dst, jstring str, size_t size)
{
    if (dst == nullptr || size == 0) {
        return dst;
    }
    dst[0] = '\0';
    if (str == nullptr) {
        return dst;
    }
    const char* chars = env->GetStringUTFChars(str, nullptr);
    if (chars == nullptr) {
        return dst;
    }
    nativeFromUTF8(dst, chars, size,
                   "Failed to convert Java String to native codepage.  Will attempt to just use UTF-8 form: [%s]\n");
    env->ReleaseStringUTFChars(str, chars);
    return dst;
}

char* process_GetNativeStringFromArray(JNIEnv* env, char* dst, jbyteArray array, size_t size)
{
    if (dst == nullptr || size == 0) {
        return dst;
    }
    dst[0] = '\0';
    if (array == nullptr) {
        return dst;
    }
    jsize length = env->GetArrayLength(array);
    jbyte* bytes = env->GetByteArrayElements(array, nullptr);
    if (bytes == nullptr) {
        return dst;
    }
    // The array should hold a terminated string; one that does not is taken
    // up to its end rather than read past it.
    char* utf8 = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (utf8 != nullptr) {
        memcpy(utf8, bytes, static_cast<size_t>(length));
        utf8[length] = '\0';
        nativeFromUTF8(dst, utf8, size,
                       "Failed to convert Java Byte Array to native codepage.  Will attempt to just use UTF-8 form: "
                       "[%s]\n");
        free(utf8);
    }
    env->ReleaseByteArrayElements(array, bytes, 0);
    return dst;
}

static char** allocateCStrArray(jsize n)
{
    return static_cast<char**>(calloc(static_cast<size_t>(n) + 1, sizeof(char*)));
}

// One element of a String[] in the native code set, exactly sized; null when
// the element is null or memory runs out.
static char* nativeCopyOfJString(JNIEnv* env, jstring str)
{
    const char* chars = env->GetStringUTFChars(str, nullptr);
    if (chars == nullptr) {
        return nullptr;
    }
    size_t utfLength = strlen(chars);
    env->ReleaseStringUTFChars(str, chars);

    size_t scratchSize = 3 * (utfLength + 1);
    char* scratch = static_cast<char*>(malloc(scratchSize));
    if (scratch == nullptr) {
        return nullptr;
    }
    process_GetNativeStringFromJString(env, scratch, str, scratchSize);
    size_t length = strlen(scratch);
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy != nullptr) {
        memcpy(copy, scratch, length + 1);
    }
    free(scratch);
    return copy;
}

// A null slot ends a native array for every consumer, and ReleaseCStrArray
// frees only up to it: elements after the first null slot are therefore not
// converted at all, so none of them can be lost.
char** javaStrArrayToCStrArray(JNIEnv* env, jobjectArray array)
{
    if (array == nullptr) {
        return nullptr;
    }
    jsize n = env->GetArrayLength(array);
    char** result = allocateCStrArray(n);
    if (result == nullptr) {
        return nullptr;
    }
    for (jsize i = 0; i < n; i++) {
        auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        if (element == nullptr) {
            break;
        }
        result[i] = nativeCopyOfJString(env, element);
        env->DeleteLocalRef(element);
        if (result[i] == nullptr || env->ExceptionCheck()) {
            break;
        }
    }
    return result;
}

static char* copyOfByteArray(JNIEnv* env, jbyteArray element)
{
    jsize length = env->GetArrayLength(element);
    jbyte* bytes = env->GetByteArrayElements(element, nullptr);
    if (bytes == nullptr) {
        return nullptr;
    }
    char* copy = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (copy != nullptr) {
        size_t used = strnlen(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
        memcpy(copy, bytes, used);
        copy[used] = '\0';
    }
    env->ReleaseByteArrayElements(element, bytes, 0);
    return copy;
}

char** jByteArrArrayToCStrArray(JNIEnv* env, jobjectArray array)
{
    if (array == nullptr) {
        return nullptr;
    }
    jsize n = env->GetArrayLength(array);
    char** result = allocateCStrArray(n);
    if (result == nullptr) {
        return nullptr;
    }
    for (jsize i = 0; i < n; i++) {
        auto element = static_cast<jbyteArray>(env->GetObjectArrayElement(array, i));
        if (element == nullptr) {
            break;
        }
        result[i] = copyOfByteArray(env, element);
        env->DeleteLocalRef(element);
        if (result[i] == nullptr || env->ExceptionCheck()) {
            break;
        }
    }
    return result;
}

void ReleaseCStrArray(char** array)
{
    if (array == nullptr) {
        return;
    }
    for (char** slot = array; *slot != nullptr; slot++) {
        free(*slot);
    }
    free(array);
}

jobjectArray process_NewStringArray(JNIEnv* env, jsize n, jstring (*makeEntry)(JNIEnv* env, jsize index))
{
    if (n <= 0) {
        return nullptr;
    }
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    jstring empty = env->NewStringUTF("");
    if (empty == nullptr) {
        return nullptr;
    }
    jobjectArray result = env->NewObjectArray(n, stringClass, empty);
    if (result == nullptr) {
        return nullptr;
    }
    for (jsize i = 0; i < n; i++) {
        jstring entry = makeEntry(env, i);
        if (entry == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(result, i, entry);
        env->DeleteLocalRef(entry);
    }
    return result;
}

jlong process_ConvertPointerTo64(void* pointer)
{
    return static_cast<jlong>(reinterpret_cast<uintptr_t>(pointer));
}

void* process_ConvertJlongToPointer(jlong value)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); // NOLINT(performance-no-int-to-ptr)
}
