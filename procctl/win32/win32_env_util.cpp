// EnvUtilGlue on Windows: the server's own environment, read from the
// runtime library's wide table so that no character is lost to the ANSI
// code page.
#include "com_qor_vt_process_EnvUtilGlue.h"
#include "common/win32.h"
#include "procctl/process_strutil.h"
#include "procctl/win32/win32_process.h"

#include <cstdlib>
#include <cwchar>

// Size of the name buffer, in UTF-16 units; longer names are cut.
static constexpr jsize ENV_NAME_UNITS = 8192;

// Set once the wide table has been prepared for native_getentireenv.
static int wideEnvironmentReadyForJava = 0;

extern "C" JNIEXPORT jstring JNICALL Java_com_qor_vt_process_EnvUtilGlue_native_1getenv(JNIEnv* env, jclass /*cls*/,
                                                                                        jstring name)
{
    if (name == nullptr) {
        return env->NewStringUTF("");
    }
    wchar_t wideName[ENV_NAME_UNITS] = {0};
    jsize length = env->GetStringLength(name);
    const jchar* chars = env->GetStringChars(name, nullptr);
    if (chars == nullptr) {
        return env->NewStringUTF("");
    }
    jsize used = length < ENV_NAME_UNITS - 1 ? length : ENV_NAME_UNITS - 1;
    for (jsize i = 0; i < used; i++) {
        wideName[i] = static_cast<wchar_t>(chars[i]);
    }
    env->ReleaseStringChars(name, chars);

    const wchar_t* value = _wgetenv(wideName);
    // The narrow look-up keeps the runtime's narrow table built as well.
    (void)getenv("__QOR_NO_SUCH");
    if (value == nullptr) {
        return env->NewStringUTF("");
    }
    return env->NewString(reinterpret_cast<const jchar*>(value), static_cast<jsize>(wcslen(value)));
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_com_qor_vt_process_EnvUtilGlue_native_1getentireenv(JNIEnv* env,
                                                                                                   jclass /*cls*/)
{
    if (wideEnvironmentReadyForJava == 0) {
        win32_PrepareWideEnvironment();
        wideEnvironmentReadyForJava = 1;
    }
    // Every entry of the environment is returned, the last one included.
    jsize n = 0;
    while (_wenviron != nullptr && _wenviron[n] != nullptr) {
        n++;
    }
    return process_NewStringArray(env, n, [](JNIEnv* e, jsize index) {
        return e->NewString(reinterpret_cast<const jchar*>(_wenviron[index]),
                            static_cast<jsize>(wcslen(_wenviron[index])));
    });
}
