// A JNI environment for tests, backed by plain C++ objects: classes with
// int, float and long fields, strings, byte and int arrays, object arrays and
// one pending exception.  It implements the JNI functions the Solaris
// libraries call; any other function is a null pointer and crashes the test.
#ifndef SUNOS_TEST_JNI_ENV_H
#define SUNOS_TEST_JNI_ENV_H

#include <jni.h>
#include <memory>
#include <string>
#include <vector>

class TestJni {
  public:
    struct Field {
        std::string name;
        std::string signature;
        jint i = 0;
        jfloat f = 0;
        jlong j = 0;
        int writes = 0;
    };

    TestJni();
    ~TestJni();
    TestJni(const TestJni&) = delete;
    TestJni& operator=(const TestJni&) = delete;

    JNIEnv* env() { return &env_; }

    // An object whose class declares exactly the given fields (name, signature).
    jobject newObject(const std::vector<std::pair<std::string, std::string>>& fields);
    Field& field(jobject object, const std::string& name);

    jbyteArray newByteArray(const std::vector<jbyte>& bytes);
    std::vector<jbyte> bytes(jbyteArray array);
    jintArray newIntArray(const std::vector<jint>& ints);
    jstring newString(const std::string& text);
    // A String[] of the given texts; a null entry is a null element.
    jobjectArray newStringArray(const std::vector<const char*>& texts);
    // The elements of a String[] ("<null>" for null ones).
    std::vector<std::string> strings(jobjectArray array);

    bool exceptionPending() const { return pending_; }
    const std::string& exceptionClass() const { return pendingClass_; }
    const std::string& exceptionMessage() const { return pendingMessage_; }
    void clearException() { pending_ = false; }
    // JNI calls other than the exception and release functions made while an exception was pending.
    int callsWithPendingException() const { return callsWithPending_; }
    // Array elements and string characters handed out and not released.
    int pinned() const { return pinned_; }
    // While set, GetStringUTFChars or NewStringUTF answers null with an
    // OutOfMemoryError pending, as a JVM short of memory does.
    bool stringCharsFail = false;
    bool newStringFails = false;

  private:
    struct Object;
    Object* add(std::unique_ptr<Object> object);
    static TestJni& self(JNIEnv* env);
    static Object* object(jobject o) { return reinterpret_cast<Object*>(o); }
    void checkPending() { callsWithPending_ += pending_ ? 1 : 0; }
    void raise(const std::string& cls, const std::string& message);

    static jclass GetObjectClass(JNIEnv* env, jobject obj);
    static jfieldID GetFieldID(JNIEnv* env, jclass cls, const char* name, const char* sig);
    static jint GetIntField(JNIEnv* env, jobject obj, jfieldID id);
    static void SetIntField(JNIEnv* env, jobject obj, jfieldID id, jint value);
    static void SetFloatField(JNIEnv* env, jobject obj, jfieldID id, jfloat value);
    static void SetLongField(JNIEnv* env, jobject obj, jfieldID id, jlong value);
    static void ExceptionClear(JNIEnv* env);
    static jboolean ExceptionCheck(JNIEnv* env);
    static jsize GetArrayLength(JNIEnv* env, jarray array);
    static jbyte* GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy);
    static void ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elems, jint mode);
    static jint* GetIntArrayElements(JNIEnv* env, jintArray array, jboolean* isCopy);
    static void ReleaseIntArrayElements(JNIEnv* env, jintArray array, jint* elems, jint mode);
    static jobject GetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index);
    static void SetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value);
    static const char* GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy);
    static void ReleaseStringUTFChars(JNIEnv* env, jstring str, const char* chars);
    static jclass FindClass(JNIEnv* env, const char* name);
    static jobjectArray NewObjectArray(JNIEnv* env, jsize length, jclass elementClass, jobject initial);
    static jstring NewStringUTF(JNIEnv* env, const char* utf);
    static jint ThrowNew(JNIEnv* env, jclass cls, const char* message);
    static void DeleteLocalRef(JNIEnv* env, jobject obj);

    JNINativeInterface_ functions_{};
    JNIEnv env_{};
    std::vector<std::unique_ptr<Object>> objects_;
    bool pending_ = false;
    std::string pendingClass_;
    std::string pendingMessage_;
    int callsWithPending_ = 0;
    int pinned_ = 0;
};

#endif
