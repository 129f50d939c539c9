// EnvUtilGlue on Unix: the server's own environment, read from environ.
#include "com_qor_vt_process_EnvUtilGlue.h"
#include "procctl/process_strutil.h"

#include <cstdlib>
#include <unistd.h>

// Size of the buffers for names, values and whole entries; longer ones are cut.
static constexpr size_t ENV_VALUE_SIZE = 8192;

// The text in UTF-8 as a new Java string; the raw bytes when it will not convert.
static jstring newUTF8String(JNIEnv* env, const char* text)
{
    char utf8[ENV_VALUE_SIZE];
    if (process_stringConverterToUTF8(utf8, text, sizeof(utf8)) == nullptr) {
        process_copyBounded(utf8, text, sizeof(utf8));
    }
    return env->NewStringUTF(utf8);
}

extern "C" JNIEXPORT jstring JNICALL Java_com_qor_vt_process_EnvUtilGlue_native_1getenv(JNIEnv* env, jclass /*cls*/,
                                                                                        jstring name)
{
    if (name == nullptr) {
        return env->NewStringUTF("");
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
