// EnvUtilGlue on Unix: the server's own environment, read from environ.
#include "com_qor_vt_process_EnvUtilGlue.h"
#include "procctl/process_strutil.h"

#include <cstdlib>
#include <unistd.h>

// Size of the buffers for names, values and whole entries; longer ones are cut.
static constexpr size_t ENV_VALUE_SIZE = 8192;

// The text as a new Java string, through UTF-8 (the raw bytes when they will
// not convert) and UTF-16, so that characters outside the Basic Multilingual
// Plane arrive as themselves.
static jstring newUTF8String(JNIEnv* env, const char* text)
{
    char utf8[ENV_VALUE_SIZE];
    if (process_stringConverterToUTF8(utf8, text, sizeof(utf8)) == nullptr) {
        process_copyBounded(utf8, text, sizeof(utf8));
    }
    return process_NewJavaStringFromUTF8(env, utf8);
}

extern "C" JNIEXPORT jstring JNICALL Java_com_qor_vt_process_EnvUtilGlue_native_1getenv(JNIEnv* env, jclass /*cls*/,
                                                                                        jstring name)
{
    if (name == nullptr) {
        return process_NewJavaStringFromUTF8(env, "");
    }
    char nativeName[ENV_VALUE_SIZE];
    process_GetNativeStringFromJString(env, nativeName, name, sizeof(nativeName));
    const char* value = getenv(nativeName);
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
