// Java strings and arrays to native strings and arrays, the same on every
// platform; the code-set conversions themselves are the platform's.
#include "procctl/process_strutil.h"

#include "procctl/process_log.h"

#include <cerrno>
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

// ---- UTF-16 (Java's strings) and UTF-8 ----
//
// Strings are taken from and given to Java as UTF-16 (GetStringChars,
// NewString): JNI's "UTF" functions use a modified UTF-8 that writes a
// character outside the Basic Multilingual Plane as two three-byte halves,
// which no system or program reads as that character.

namespace {

// Encodes n UTF-16 units as UTF-8 into out (room for 3 bytes per unit and a
// terminator).  A surrogate pair becomes one four-byte character; a lone
// surrogate, which UTF-8 cannot hold, becomes "?", as with Java's own
// encoder.  Answers the length; tells whether every unit was ASCII and
// whether one was U+0000.
size_t utf8FromUtf16(const jchar* units, size_t n, char* out, bool* ascii, bool* hasNul)
{
    size_t used = 0;
    *ascii = true;
    *hasNul = false;
    for (size_t i = 0; i < n; i++) {
        unsigned long c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = '?';
        }
        if (c == 0) {
            *hasNul = true;
        }
        if (c < 0x80) {
            out[used++] = static_cast<char>(c);
            continue;
        }
        *ascii = false;
        if (c < 0x800) {
            out[used++] = static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            out[used++] = static_cast<char>(0xE0 | (c >> 12));
            out[used++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            out[used++] = static_cast<char>(0xF0 | (c >> 18));
            out[used++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[used++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        out[used++] = static_cast<char>(0x80 | (c & 0x3F));
    }
    out[used] = '\0';
    return used;
}

// Decodes UTF-8 into UTF-16 units (room for one unit per byte); each byte of
// a malformed sequence becomes U+FFFD.  Answers the number of units.
size_t utf16FromUtf8(const unsigned char* in, size_t n, jchar* out)
{
    size_t used = 0;
    for (size_t i = 0; i < n;) {
        unsigned long c = in[i];
        size_t more = 0;
        unsigned long least = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            least = 0x80;
            c &= 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            least = 0x800;
            c &= 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            least = 0x10000;
            c &= 0x07;
        } else if (c >= 0x80) {
            out[used++] = 0xFFFD;
            i++;
            continue;
        }
        bool valid = i + more < n;
        for (size_t k = 1; valid && k <= more; k++) {
            valid = (in[i + k] & 0xC0) == 0x80;
            c = (c << 6) | (in[i + k] & 0x3F);
        }
        if (!valid || c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out[used++] = 0xFFFD;
            i++;
            continue;
        }
        if (c >= 0x10000) {
            out[used++] = static_cast<jchar>(0xD800 + ((c - 0x10000) >> 10));
            out[used++] = static_cast<jchar>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out[used++] = static_cast<jchar>(c);
        }
        i += more + 1;
    }
    return used;
}

// An exactly sized copy of the first `length` bytes of text, or null.
char* exactCopy(const char* text, size_t length)
{
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy != nullptr) {
        memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

} // namespace

char* process_NewNativeString(JNIEnv* env, jstring str, int* err)
{
    *err = 0;
    jsize n = env->GetStringLength(str);
    const jchar* units = env->GetStringChars(str, nullptr);
    if (units == nullptr) {
        *err = ENOMEM;
        return nullptr;
    }
    char* utf8 = static_cast<char*>(malloc(3 * static_cast<size_t>(n) + 1));
    bool ascii = true;
    bool hasNul = false;
    size_t length = utf8 != nullptr ? utf8FromUtf16(units, static_cast<size_t>(n), utf8, &ascii, &hasNul) : 0;
    env->ReleaseStringChars(str, units);
    if (utf8 == nullptr || hasNul) {
        // A NUL cannot be passed on in a C string without cutting it there.
        *err = utf8 == nullptr ? ENOMEM : EINVAL;
        free(utf8);
        return nullptr;
    }
    char* result = nullptr;
    if (ascii) {
        // ASCII is the same in every code set a locale can have.
        result = exactCopy(utf8, length);
    } else {
        // Four bytes per UTF-8 byte hold the text in any code set.
        size_t size = 4 * (length + 1);
        char* native = static_cast<char*>(malloc(size));
        if (native != nullptr && process_stringConverterFromUTF8(native, utf8, size) != nullptr) {
            result = exactCopy(native, strlen(native));
        } else if (native != nullptr) {
            process_log("Failed to convert Java String to native codepage.  Will attempt to just use UTF-8 form: "
                        "[%s]\n",
                        utf8);
            result = exactCopy(utf8, length);
        }
        free(native);
    }
    free(utf8);
    if (result == nullptr) {
        *err = ENOMEM;
    }
    return result;
}

jstring process_NewJavaStringFromUTF8(JNIEnv* env, const char* text)
{
    size_t length = strlen(text);
    auto* units = static_cast<jchar*>(malloc((length + 1) * sizeof(jchar)));
    if (units == nullptr) {
        return nullptr;
    }
    size_t n = utf16FromUtf8(reinterpret_cast<const unsigned char*>(text), length, units);
    jstring result = env->NewString(units, static_cast<jsize>(n));
    free(units);
    return result;
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
    int err = 0;
    char* native = process_NewNativeString(env, str, &err);
    if (native != nullptr) {
        process_copyBounded(dst, native, size);
        free(native);
    }
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

char** process_NewNativeStringArray(JNIEnv* env, jobjectArray array, int* err)
{
    *err = 0;
    if (array == nullptr) {
        return nullptr;
    }
    jsize n = env->GetArrayLength(array);
    char** result = allocateCStrArray(n);
    if (result == nullptr) {
        *err = ENOMEM;
        return nullptr;
    }
    // A null slot ends a native array for every consumer, and ReleaseCStrArray
    // frees only up to it: elements after the first null element are
    // therefore not converted at all, so none of them can be lost.
    for (jsize i = 0; i < n; i++) {
        auto element = static_cast<jstring>(env->GetObjectArrayElement(array, i));
        if (element == nullptr) {
            break;
        }
        result[i] = process_NewNativeString(env, element, err);
        env->DeleteLocalRef(element);
        if (result[i] == nullptr || env->ExceptionCheck()) {
            ReleaseCStrArray(result);
            if (*err == 0) {
                *err = ENOMEM;
            }
            return nullptr;
        }
    }
    return result;
}

// As above, but an element that cannot be converted ends the array there.
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
        int err = 0;
        result[i] = process_NewNativeString(env, element, &err);
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
