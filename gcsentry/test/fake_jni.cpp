// The test JNI environment (see fake_jni.h).
#include "gcsentry/test/fake_jni.h"

#include <cstdarg>
#include <cstring>

namespace {

// Stand-ins for the references and IDs the functions hand out.
char threadClass;
char currentThreadMethod;
char interruptMethod;
char currentThreadObject;

jclass JNICALL FindClass(JNIEnv* env, const char* name)
{
    FakeJni::of(env)->record(std::string("FindClass ") + name);
    return strcmp(name, "java/lang/Thread") == 0 ? reinterpret_cast<jclass>(&threadClass) : nullptr;
}

jmethodID JNICALL GetStaticMethodID(JNIEnv* env, jclass cls, const char* name, const char* sig)
{
    FakeJni::of(env)->record(std::string("GetStaticMethodID ") + name + sig);
    bool found = cls == reinterpret_cast<jclass>(&threadClass) && strcmp(name, "currentThread") == 0 &&
                 strcmp(sig, "()Ljava/lang/Thread;") == 0;
    return found ? reinterpret_cast<jmethodID>(&currentThreadMethod) : nullptr;
}

jmethodID JNICALL GetMethodID(JNIEnv* env, jclass cls, const char* name, const char* sig)
{
    FakeJni::of(env)->record(std::string("GetMethodID ") + name + sig);
    bool found =
        cls == reinterpret_cast<jclass>(&threadClass) && strcmp(name, "interrupt") == 0 && strcmp(sig, "()V") == 0;
    return found ? reinterpret_cast<jmethodID>(&interruptMethod) : nullptr;
}

// The C++ JNIEnv_ wrappers of the variadic Call functions call their V forms.
jobject JNICALL CallStaticObjectMethodV(JNIEnv* env, jclass /*cls*/, jmethodID method, va_list /*args*/)
{
    FakeJni::of(env)->record("CallStaticObjectMethodV");
    return method == reinterpret_cast<jmethodID>(&currentThreadMethod) ? reinterpret_cast<jobject>(&currentThreadObject)
                                                                       : nullptr;
}

void JNICALL CallVoidMethodV(JNIEnv* env, jobject obj, jmethodID method, va_list /*args*/)
{
    FakeJni::of(env)->record("CallVoidMethodV");
    if (obj == reinterpret_cast<jobject>(&currentThreadObject) &&
        method == reinterpret_cast<jmethodID>(&interruptMethod)) {
        FakeJni::of(env)->setInterrupt();
    }
}

jboolean JNICALL ExceptionCheck(JNIEnv* env)
{
    FakeJni::of(env)->record("ExceptionCheck");
    return JNI_FALSE;
}

void JNICALL DeleteLocalRef(JNIEnv* env, jobject obj)
{
    const char* what = obj == reinterpret_cast<jobject>(&threadClass)           ? "class"
                       : obj == reinterpret_cast<jobject>(&currentThreadObject) ? "thread"
                                                                                : "other";
    FakeJni::of(env)->record(std::string("DeleteLocalRef ") + what);
}

} // namespace

FakeJni::FakeJni(const FakeJvmti& jvmti) : jvmti_(jvmti)
{
    table_.FindClass = FindClass;
    table_.GetStaticMethodID = GetStaticMethodID;
    table_.GetMethodID = GetMethodID;
    table_.CallStaticObjectMethodV = CallStaticObjectMethodV;
    table_.CallVoidMethodV = CallVoidMethodV;
    table_.ExceptionCheck = ExceptionCheck;
    table_.DeleteLocalRef = DeleteLocalRef;
    env_.base.functions = &table_;
    env_.self = this;
}

FakeJni* FakeJni::of(JNIEnv* env)
{
    return reinterpret_cast<EnvHolder*>(env)->self;
}

void FakeJni::record(const std::string& call)
{
    bool underMonitor = jvmti_.heldByCurrentThread();
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
    if (underMonitor) {
        callsUnderMonitor_++;
    }
}

void FakeJni::setInterrupt()
{
    std::lock_guard lock(mutex_);
    interruptSet_ = true;
}

std::vector<std::string> FakeJni::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

int FakeJni::callsUnderMonitor() const
{
    std::lock_guard lock(mutex_);
    return callsUnderMonitor_;
}

bool FakeJni::interruptSet() const
{
    std::lock_guard lock(mutex_);
    return interruptSet_;
}
