// Test-only natives of com.qor.vt.process.ProcctlProbe: thin calls into the
// process-control library's internal routines.
#include "procctl/process_error.h"
#include "procctl/process_log.h"
#include "procctl/process_strutil.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <jni.h>
#include <string>
#include <unistd.h>

static jobjectArray visibleElements(JNIEnv* env, char** array)
{
    if (array == nullptr) {
        return nullptr;
    }
    jsize n = 0;
    while (array[n] != nullptr) {
        n++;
    }
    jobjectArray result = env->NewObjectArray(n, env->FindClass("[B"), nullptr);
    for (jsize i = 0; i < n; i++) {
        auto length = static_cast<jsize>(strlen(array[i]));
        jbyteArray bytes = env->NewByteArray(length);
        env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte*>(array[i]));
        env->SetObjectArrayElement(result, i, bytes);
        env->DeleteLocalRef(bytes);
    }
    ReleaseCStrArray(array);
    return result;
}

static jbyteArray bytesOf(JNIEnv* env, const char* text)
{
    auto length = static_cast<jsize>(strlen(text));
    jbyteArray bytes = env->NewByteArray(length);
    env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte*>(text));
    return bytes;
}

extern "C" {

void unix_overrideStartProcessTimeout(int seconds);
int unix_ExitInfoAvailable(void);
void unix_overrideKernelFeatures(int features);

JNIEXPORT void JNICALL Java_com_qor_vt_process_ProcctlProbe_overrideKernelFeatures(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                   jint features)
{
    unix_overrideKernelFeatures(features);
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_ProcctlProbe_overrideStartTimeout(JNIEnv* /*env*/, jclass /*cls*/,
                                                                                 jint seconds)
{
    unix_overrideStartProcessTimeout(seconds);
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_ProcctlProbe_throwException(JNIEnv* env, jclass /*cls*/, jint code,
                                                                           jbyteArray text, jint sysErr)
{
    if (text == nullptr) {
        ThrowException(env, static_cast<unsigned int>(code), nullptr, sysErr);
        return;
    }
    jsize length = env->GetArrayLength(text);
    std::string copy(static_cast<size_t>(length), '\0');
    env->GetByteArrayRegion(text, 0, length, reinterpret_cast<jbyte*>(copy.data()));
    ThrowException(env, static_cast<unsigned int>(code), copy.c_str(), sysErr);
}

JNIEXPORT jstring JNICALL Java_com_qor_vt_process_ProcctlProbe_libcStrerror(JNIEnv* env, jclass /*cls*/, jint errnum)
{
    return env->NewStringUTF(strerror(errnum));
}

JNIEXPORT jobjectArray JNICALL Java_com_qor_vt_process_ProcctlProbe_strArray(JNIEnv* env, jclass /*cls*/,
                                                                             jobjectArray array)
{
    return visibleElements(env, javaStrArrayToCStrArray(env, array));
}

JNIEXPORT jobjectArray JNICALL Java_com_qor_vt_process_ProcctlProbe_byteArrArray(JNIEnv* env, jclass /*cls*/,
                                                                                 jobjectArray array)
{
    return visibleElements(env, jByteArrArrayToCStrArray(env, array));
}

JNIEXPORT jbyteArray JNICALL Java_com_qor_vt_process_ProcctlProbe_nativeString(JNIEnv* env, jclass /*cls*/, jstring str,
                                                                               jint size)
{
    std::string buffer(static_cast<size_t>(size) + 1, 'Z');
    process_GetNativeStringFromJString(env, buffer.data(), str, static_cast<size_t>(size));
    return bytesOf(env, buffer.c_str());
}

JNIEXPORT jbyteArray JNICALL Java_com_qor_vt_process_ProcctlProbe_nativeStringFromArray(JNIEnv* env, jclass /*cls*/,
                                                                                        jbyteArray array, jint size)
{
    std::string buffer(static_cast<size_t>(size) + 1, 'Z');
    process_GetNativeStringFromArray(env, buffer.data(), array, static_cast<size_t>(size));
    return bytesOf(env, buffer.c_str());
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_ProcctlProbe_log(JNIEnv* env, jclass /*cls*/, jstring text)
{
    const char* chars = env->GetStringUTFChars(text, nullptr);
    process_log("%s", chars);
    env->ReleaseStringUTFChars(text, chars);
}

JNIEXPORT void JNICALL Java_com_qor_vt_process_ProcctlProbe_logEntryExit(JNIEnv* env, jclass /*cls*/, jstring name)
{
    const char* chars = env->GetStringUTFChars(name, nullptr);
    process_log_entry(chars);
    process_log_exit(chars);
    env->ReleaseStringUTFChars(name, chars);
}

JNIEXPORT jboolean JNICALL Java_com_qor_vt_process_ProcctlProbe_exitInfoAvailable(JNIEnv* /*env*/, jclass /*cls*/)
{
    return unix_ExitInfoAvailable() != 0 ? JNI_TRUE : JNI_FALSE;
}

// The whole process (every thread: the C library applies it to all) takes
// the user and group for good.  0, or the errno of the failed step.
JNIEXPORT jint JNICALL Java_com_qor_vt_process_ProcctlProbe_becomeUser(JNIEnv* /*env*/, jclass /*cls*/, jint uid,
                                                                       jint gid)
{
    if (setgroups(0, nullptr) != 0 ||
        setresgid(static_cast<gid_t>(gid), static_cast<gid_t>(gid), static_cast<gid_t>(gid)) != 0 ||
        setresuid(static_cast<uid_t>(uid), static_cast<uid_t>(uid), static_cast<uid_t>(uid)) != 0) {
        return errno;
    }
    return 0;
}
}
