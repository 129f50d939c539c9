// EnvUtilGlue on Unix: the server's own environment, read from environ.
#include "com_qor_vt_process_EnvUtilGlue.h"
#include "procctl/process_strutil.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

// The text as a new Java string, whole whatever its length, through UTF-8
// (the raw bytes when they will not convert) and UTF-16, so that characters
// outside the Basic Multilingual Plane arrive as themselves.  Null when
// memory runs out (the JVM's exception is then pending, or none when the
// conversion buffer could not be had).
static jstring newUTF8String(JNIEnv* env, const char* text)
{
    // Every byte of the native code set becomes at most one character, and
    // a character at most 4 bytes of UTF-8.
    size_t size = 4 * strlen(text) + 1;
    char* utf8 = static_cast<char*>(malloc(size));
    if (utf8 == nullptr) {
        return nullptr;
    }
    jstring result =
        process_NewJavaStringFromUTF8(env, process_stringConverterToUTF8(utf8, text, size) != nullptr ? utf8 : text);
    free(utf8);
    return result;
}

extern "C" JNIEXPORT jstring JNICALL Java_com_qor_vt_process_EnvUtilGlue_native_1getenv(JNIEnv* env, jclass /*cls*/,
                                                                                        jstring name)
{
    if (name == nullptr) {
        return process_NewJavaStringFromUTF8(env, "");
    }
    // The whole name: a cut one could name another variable.  One that holds
    // a NUL names none.
    int err = 0;
    char* nativeName = process_NewNativeString(env, name, &err);
    if (nativeName == nullptr) {
        return env->ExceptionCheck() ? nullptr : process_NewJavaStringFromUTF8(env, "");
    }
    const char* value = getenv(nativeName);
    free(nativeName);
    return newUTF8String(env, value != nullptr ? value : "");
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_qor_vt_process_EnvUtilGlue_native_1getentireenv(JNIEnv* env,
                                                                                                   jclass /*cls*/)
{
    // Every entry of the environment is returned, the last one included.
    jsize n = 0;
    while (environ != nullptr && environ[n] != nullptr) {
        n++;
    }
    return process_NewStringArray(env, n, [](JNIEnv* e, jsize index) { return newUTF8String(e, environ[index]); });
}
