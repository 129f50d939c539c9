// A JNI environment for tests that call JNI entry points without a Java
// virtual machine (the Windows builds under wine, the Solaris libraries on
// the emulation): a JNI function table backed by plain C++ objects.  It knows
// strings, object arrays, primitive arrays (byte, int, long, double), classes
// by name, instances with fields (any field, or exactly those their class
// declares), and one pending exception with its class and message.  Every
// object lives until the environment is destroyed.  A JNI function it does
// not implement aborts the test.
#pragma once

#include <jni.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class TestJniEnv {
  public:
    TestJniEnv();
    ~TestJniEnv();
    TestJniEnv(const TestJniEnv&) = delete;
    TestJniEnv& operator=(const TestJniEnv&) = delete;

    JNIEnv* env() { return reinterpret_cast<JNIEnv*>(&holder_); }
    operator JNIEnv*() { return env(); }

    // Java values made from C++ ones.
    jstring string(const std::string& utf8);
    jstring string(const std::u16string& text);
    // Each element a string, or null for std::nullopt.
    jobjectArray stringArray(const std::vector<std::optional<std::string>>& elements);
    jbyteArray byteArray(const std::vector<jbyte>& bytes);
    jintArray intArray(const std::vector<jint>& ints);
    jobject newInstance(const std::string& className);
    // An instance whose class declares exactly the given fields (name,
    // signature): GetFieldID finds those alone, and each is read and written
    // through the functions of its own type only.
    jobject newObject(const std::vector<std::pair<std::string, std::string>>& fields);

    // A field of an instance: its value, which a test may also set before the
    // code under test reads it, and the writes made through JNI.
    struct Field {
        std::string signature; // "I", "J", "F", "D" or "Z"
        jint i = 0;
        jfloat f = 0;
        jlong j = 0;
        double number = 0; // the value last set, whatever its type
        int writes = 0;
    };
    // The field of that name; a test error (an exception) when there is none.
    Field& field(jobject object, const std::string& name);

    // C++ values read from Java ones.
    std::string utf8(jobject str) const;
    std::u16string utf16(jobject str) const;
    // Each element's text; "<null>" for a null element.
    std::vector<std::string> strings(jobject array) const;
    std::vector<unsigned char> primitiveBytes(jobject array) const;
    // The elements of a byte[].
    std::vector<jbyte> bytes(jobject array) const;
    // A field's value as it was last set ("I", "J", "F", "D", "Z" fields).
    std::optional<double> numberField(jobject object, const std::string& name) const;

    // Classes: every name is found unless hidden.
    void hideClass(const std::string& name) { hidden_.insert(name); }
    // Fields: every name is found unless hidden (NoSuchFieldError).
    void hideField(const std::string& name) { hiddenFields_.insert(name); }
    // NewStringUTF makes n more strings, then fails with OutOfMemoryError;
    // -1 makes every string again.
    void failStringsAfter(int n) { stringsLeft_ = n; }
    // While set, GetStringUTFChars answers null with an OutOfMemoryError
    // pending, as a JVM short of memory does.
    void failStringChars(bool fail) { stringCharsFail_ = fail; }

    // Calls of JNI functions that must not be called while an exception is
    // pending (all but the exception functions, DeleteLocalRef and the
    // Release functions), made while one was.
    int callsWhilePending() const { return callsWhilePending_; }

    // The pending exception.
    struct Exception {
        std::string className;
        std::string message;
    };
    bool exceptionPending() const { return pending_.has_value(); }
    const std::optional<Exception>& pending() const { return pending_; }
    // The pending exception's class and message; "" when none is pending.
    std::string exceptionClass() const { return pending_ ? pending_->className : ""; }
    std::string exceptionMessage() const { return pending_ ? pending_->message : ""; }
    // Returns the pending exception and clears it; nullopt when none.
    std::optional<Exception> takeException();

    // Number of Get*Chars / Get*Elements not yet released.
    int unreleased() const { return unreleased_; }

    struct Object;

  private:
    struct Holder {
        const JNINativeInterface_* functions;
        TestJniEnv* self;
    };
    friend struct TestJniFunctions;

    Object* make();
    Object* classNamed(const std::string& name);

    Holder holder_;
    std::unique_ptr<JNINativeInterface_> table_;
    std::vector<std::unique_ptr<Object>> objects_;
    std::map<std::string, Object*> classes_;
    std::set<std::string> hidden_;
    std::set<std::string> hiddenFields_;
    int stringsLeft_ = -1;
    bool stringCharsFail_ = false;
    int callsWhilePending_ = 0;
    std::optional<Exception> pending_;
    std::map<std::string, std::unique_ptr<std::string>> fieldIds_;
    int unreleased_ = 0;
};
