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
    if (environ == nullptr || environ[0] == nullptr) {
        return nullptr;
    }
    jsize n = 0;
    while (environ[n] != nullptr) {
        n++;
    }

    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    jstring empty = env->NewStringUTF("");
    if (empty == nullptr) {
        return nullptr;
    }
    // Every entry is returned; each slot holds the empty string until filled.
    jobjectArray result = env->NewObjectArray(n, stringClass, empty);
    if (result == nullptr) {
        return nullptr;
    }
    for (jsize i = 0; i < n && environ[i] != nullptr; i++) {
        jstring entry = newUTF8String(env, environ[i]);
        if (entry == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(result, i, entry);
        env->DeleteLocalRef(entry);
    }
    return result;
}
