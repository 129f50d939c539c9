// The test JNI environment.
#include "compat/sunos/test/test_jni_env.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

struct TestJni::Object {
    enum Kind { Class, Instance, String, ByteArray, IntArray, ObjectArray } kind;
    std::string text;          // class name or string
    std::vector<Field> fields; // instance fields; the class shares the instance's layout
    Object* cls = nullptr;     // an instance's class
    std::vector<jbyte> bytes;
    std::vector<jint> ints;
    std::vector<Object*> elements;
};

TestJni::TestJni()
{
    functions_.reserved0 = this;
    functions_.GetObjectClass = GetObjectClass;
    functions_.GetFieldID = GetFieldID;
    functions_.GetIntField = GetIntField;
    functions_.SetIntField = SetIntField;
    functions_.SetFloatField = SetFloatField;
    functions_.SetLongField = SetLongField;
    functions_.ExceptionClear = ExceptionClear;
    functions_.ExceptionCheck = ExceptionCheck;
    functions_.GetArrayLength = GetArrayLength;
    functions_.GetByteArrayElements = GetByteArrayElements;
    functions_.ReleaseByteArrayElements = ReleaseByteArrayElements;
    functions_.GetIntArrayElements = GetIntArrayElements;
    functions_.ReleaseIntArrayElements = ReleaseIntArrayElements;
    functions_.GetObjectArrayElement = GetObjectArrayElement;
    functions_.SetObjectArrayElement = SetObjectArrayElement;
    functions_.GetStringUTFChars = GetStringUTFChars;
    functions_.ReleaseStringUTFChars = ReleaseStringUTFChars;
    functions_.FindClass = FindClass;
    functions_.NewObjectArray = NewObjectArray;
    functions_.NewStringUTF = NewStringUTF;
    functions_.ThrowNew = ThrowNew;
    functions_.DeleteLocalRef = DeleteLocalRef;
    env_.functions = &functions_;
}

TestJni::~TestJni() = default;

TestJni& TestJni::self(JNIEnv* env)
{
    return *static_cast<TestJni*>(env->functions->reserved0);
}

TestJni::Object* TestJni::add(std::unique_ptr<Object> object)
{
    objects_.push_back(std::move(object));
    return objects_.back().get();
}

void TestJni::raise(const std::string& cls, const std::string& message)
{
    pending_ = true;
    pendingClass_ = cls;
    pendingMessage_ = message;
}

jobject TestJni::newObject(const std::vector<std::pair<std::string, std::string>>& fields)
{
    auto cls = std::make_unique<Object>();
    cls->kind = Object::Class;
    cls->text = "TestObject";
    for (const auto& [name, signature] : fields) {
        cls->fields.push_back(Field{name, signature});
    }
    Object* c = add(std::move(cls));
    auto instance = std::make_unique<Object>();
    instance->kind = Object::Instance;
    instance->cls = c;
    instance->fields = c->fields;
    return reinterpret_cast<jobject>(add(std::move(instance)));
}

TestJni::Field& TestJni::field(jobject o, const std::string& name)
{
    for (Field& f : object(o)->fields) {
        if (f.name == name) {
            return f;
        }
    }
    throw std::runtime_error("no field " + name);
}

jbyteArray TestJni::newByteArray(const std::vector<jbyte>& bytes)
{
    auto a = std::make_unique<Object>();
    a->kind = Object::ByteArray;
    a->bytes = bytes;
    return reinterpret_cast<jbyteArray>(add(std::move(a)));
}

std::vector<jbyte> TestJni::bytes(jbyteArray array)
{
    return object(array)->bytes;
}

jintArray TestJni::newIntArray(const std::vector<jint>& ints)
{
    auto a = std::make_unique<Object>();
    a->kind = Object::IntArray;
    a->ints = ints;
    return reinterpret_cast<jintArray>(add(std::move(a)));
}

jstring TestJni::newString(const std::string& text)
{
    auto s = std::make_unique<Object>();
    s->kind = Object::String;
    s->text = text;
    return reinterpret_cast<jstring>(add(std::move(s)));
}

jobjectArray TestJni::newStringArray(const std::vector<const char*>& texts)
{
    auto a = std::make_unique<Object>();
    a->kind = Object::ObjectArray;
    a->text = "java/lang/String";
    for (const char* t : texts) {
        a->elements.push_back(t == nullptr ? nullptr : object(newString(t)));
    }
    return reinterpret_cast<jobjectArray>(add(std::move(a)));
}

std::vector<std::string> TestJni::strings(jobjectArray array)
{
    std::vector<std::string> result;
    for (Object* e : object(array)->elements) {
        result.push_back(e == nullptr ? "<null>" : e->text);
    }
    return result;
}

jclass TestJni::GetObjectClass(JNIEnv* env, jobject obj)
{
    self(env).checkPending();
    return reinterpret_cast<jclass>(object(obj)->cls);
}

jfieldID TestJni::GetFieldID(JNIEnv* env, jclass cls, const char* name, const char* sig)
{
    TestJni& t = self(env);
    t.checkPending();
    Object* c = object(cls);
    for (size_t i = 0; i < c->fields.size(); i++) {
        if (c->fields[i].name == name && c->fields[i].signature == sig) {
            return reinterpret_cast<jfieldID>(i + 1);
        }
    }
    t.raise("java/lang/NoSuchFieldError", name);
    return nullptr;
}

static TestJni::Field& fieldAt(std::vector<TestJni::Field>& fields, jfieldID id, const char* signature)
{
    auto index = reinterpret_cast<size_t>(id);
    if (index == 0 || index > fields.size() || fields[index - 1].signature != signature) {
        throw std::runtime_error("bad field id");
    }
    return fields[index - 1];
}

jint TestJni::GetIntField(JNIEnv* env, jobject obj, jfieldID id)
{
    self(env).checkPending();
    return fieldAt(object(obj)->fields, id, "I").i;
}

void TestJni::SetIntField(JNIEnv* env, jobject obj, jfieldID id, jint value)
{
    self(env).checkPending();
    Field& f = fieldAt(object(obj)->fields, id, "I");
    f.i = value;
    f.writes++;
}

void TestJni::SetFloatField(JNIEnv* env, jobject obj, jfieldID id, jfloat value)
{
    self(env).checkPending();
    Field& f = fieldAt(object(obj)->fields, id, "F");
    f.f = value;
    f.writes++;
}

void TestJni::SetLongField(JNIEnv* env, jobject obj, jfieldID id, jlong value)
{
    self(env).checkPending();
    Field& f = fieldAt(object(obj)->fields, id, "J");
    f.j = value;
    f.writes++;
}

void TestJni::ExceptionClear(JNIEnv* env)
{
    self(env).pending_ = false;
}

jboolean TestJni::ExceptionCheck(JNIEnv* env)
{
    return self(env).pending_ ? JNI_TRUE : JNI_FALSE;
}

jsize TestJni::GetArrayLength(JNIEnv* env, jarray array)
{
    self(env).checkPending();
    Object* a = object(array);
    switch (a->kind) {
    case Object::ByteArray:
        return static_cast<jsize>(a->bytes.size());
    case Object::IntArray:
        return static_cast<jsize>(a->ints.size());
    case Object::ObjectArray:
        return static_cast<jsize>(a->elements.size());
    default:
        throw std::runtime_error("not an array");
    }
}

// Elements are handed out as a copy, as a JVM may do, so a missing release
// or a write after it shows.
jbyte* TestJni::GetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean* isCopy)
{
    TestJni& t = self(env);
    t.checkPending();
    std::vector<jbyte>& bytes = object(array)->bytes;
    auto* copy = static_cast<jbyte*>(malloc(bytes.size() + 1));
    memcpy(copy, bytes.data(), bytes.size());
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    t.pinned_++;
    return copy;
}

void TestJni::ReleaseByteArrayElements(JNIEnv* env, jbyteArray array, jbyte* elems, jint mode)
{
    TestJni& t = self(env);
    std::vector<jbyte>& bytes = object(array)->bytes;
    if (mode != JNI_ABORT) {
        memcpy(bytes.data(), elems, bytes.size());
    }
    if (mode != JNI_COMMIT) {
        free(elems);
        t.pinned_--;
    }
}

jint* TestJni::GetIntArrayElements(JNIEnv* env, jintArray array, jboolean* isCopy)
{
    TestJni& t = self(env);
    t.checkPending();
    std::vector<jint>& ints = object(array)->ints;
    auto* copy = static_cast<jint*>(malloc((ints.size() + 1) * sizeof(jint)));
    memcpy(copy, ints.data(), ints.size() * sizeof(jint));
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    t.pinned_++;
    return copy;
}

void TestJni::ReleaseIntArrayElements(JNIEnv* env, jintArray array, jint* elems, jint mode)
{
    TestJni& t = self(env);
    std::vector<jint>& ints = object(array)->ints;
    if (mode != JNI_ABORT) {
        memcpy(ints.data(), elems, ints.size() * sizeof(jint));
    }
    if (mode != JNI_COMMIT) {
        free(elems);
        t.pinned_--;
    }
}

jobject TestJni::GetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index)
{
    TestJni& t = self(env);
    t.checkPending();
    Object* a = object(array);
    if (index < 0 || static_cast<size_t>(index) >= a->elements.size()) {
        t.raise("java/lang/ArrayIndexOutOfBoundsException", std::to_string(index));
        return nullptr;
    }
    return reinterpret_cast<jobject>(a->elements[static_cast<size_t>(index)]);
}

void TestJni::SetObjectArrayElement(JNIEnv* env, jobjectArray array, jsize index, jobject value)
{
    TestJni& t = self(env);
    t.checkPending();
    Object* a = object(array);
    if (index < 0 || static_cast<size_t>(index) >= a->elements.size()) {
        t.raise("java/lang/ArrayIndexOutOfBoundsException", std::to_string(index));
        return;
    }
    a->elements[static_cast<size_t>(index)] = object(value);
}

const char* TestJni::GetStringUTFChars(JNIEnv* env, jstring str, jboolean* isCopy)
{
    TestJni& t = self(env);
    t.checkPending();
    if (str == nullptr) {
        throw std::runtime_error("GetStringUTFChars on null");
    }
    if (t.stringCharsFail) {
        t.raise("java/lang/OutOfMemoryError", "string characters");
        return nullptr;
    }
    if (isCopy != nullptr) {
        *isCopy = JNI_TRUE;
    }
    t.pinned_++;
    return strdup(object(str)->text.c_str());
}

void TestJni::ReleaseStringUTFChars(JNIEnv* env, jstring /*str*/, const char* chars)
{
    self(env).pinned_--;
    free(const_cast<char*>(chars));
}

jclass TestJni::FindClass(JNIEnv* env, const char* name)
{
    TestJni& t = self(env);
    t.checkPending();
    auto c = std::make_unique<Object>();
    c->kind = Object::Class;
    c->text = name;
    return reinterpret_cast<jclass>(t.add(std::move(c)));
}

jobjectArray TestJni::NewObjectArray(JNIEnv* env, jsize length, jclass elementClass, jobject initial)
{
    TestJni& t = self(env);
    t.checkPending();
    auto a = std::make_unique<Object>();
    a->kind = Object::ObjectArray;
    a->text = object(elementClass)->text;
    a->elements.assign(static_cast<size_t>(length), object(initial));
    return reinterpret_cast<jobjectArray>(t.add(std::move(a)));
}

jstring TestJni::NewStringUTF(JNIEnv* env, const char* utf)
{
    TestJni& t = self(env);
    t.checkPending();
    if (t.newStringFails) {
        t.raise("java/lang/OutOfMemoryError", "string");
        return nullptr;
    }
    return t.newString(utf);
}

jint TestJni::ThrowNew(JNIEnv* env, jclass cls, const char* message)
{
    TestJni& t = self(env);
    t.checkPending();
    t.raise(object(cls)->text, message);
    return 0;
}

void TestJni::DeleteLocalRef(JNIEnv* /*env*/, jobject /*obj*/) {}
