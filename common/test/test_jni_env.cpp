#include "common/test/test_jni_env.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <type_traits>

struct TestJniEnv::Object {
    enum Kind { String, ObjectArray, PrimitiveArray, Class, Instance } kind = Instance;
    std::u16string text;              // String
    std::vector<Object*> elements;    // ObjectArray
    std::vector<unsigned char> bytes; // PrimitiveArray
    size_t elementSize = 1;           // PrimitiveArray
    std::string name;                 // Class: its name; Instance: its class's name
    // Instance: its fields by name. A class that declares its fields holds
    // them too (the layout its instances copy).
    std::map<std::string, Field> fields;
    Object* declaring = nullptr; // Instance: its class when that declares the fields
    bool declares = false;       // Class
};

namespace {

using Object = TestJniEnv::Object;
using Field = TestJniEnv::Field;

Object* obj(jobject o)
{
    return reinterpret_cast<Object*>(o);
}

template <typename T> T ref(Object* o)
{
    return reinterpret_cast<T>(o);
}

std::string toUtf8(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string toUtf16(const std::string& utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        auto b = static_cast<unsigned char>(utf8[i]);
        uint32_t c = b;
        size_t extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1F;
            extra = 1;
        }
        i++;
        for (size_t k = 0; k < extra && i < utf8.size(); k++, i++) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

} // namespace

// The table's functions; each finds its environment through the JNIEnv.
struct TestJniFunctions {
    static TestJniEnv& self(JNIEnv* env) { return *reinterpret_cast<TestJniEnv::Holder*>(env)->self; }
    // The environment, for a function that JNI forbids while an exception is
    // pending: such a call is counted.
    static TestJniEnv& use(JNIEnv* env)
    {
        TestJniEnv& e = self(env);
        if (e.pending_) {
            e.callsWhilePending_++;
        }
        return e;
    }

    static jclass JNICALL FindClass(JNIEnv* env, const char* name)
    {
        TestJniEnv& e = use(env);
        if (e.hidden_.count(name) != 0) {
            e.pending_ = TestJniEnv::Exception{"java/lang/NoClassDefFoundError", name};
            return nullptr;
        }
        return ref<jclass>(e.classNamed(name));
    }
    static jint JNICALL ThrowNew(JNIEnv* env, jclass cls, const char* message)
    {
        use(env).pending_ = TestJniEnv::Exception{obj(cls)->name, message != nullptr ? message : ""};
        return 0;
    }
    static jthrowable JNICALL ExceptionOccurred(JNIEnv* env)
    {
        TestJniEnv& e = self(env);
        if (!e.pending_) {
            return nullptr;
        }
        return ref<jthrowable>(obj(e.newInstance(e.pending_->className)));
    }
    static void JNICALL ExceptionClear(JNIEnv* env) { self(env).pending_.reset(); }
    static jboolean JNICALL ExceptionCheck(JNIEnv* env) { return self(env).pending_ ? JNI_TRUE : JNI_FALSE; }
    static void JNICALL DeleteLocalRef(JNIEnv* /*env*/, jobject /*o*/) {}

    static jstring JNICALL NewStringUTF(JNIEnv* env, const char* utf8)
    {
        TestJniEnv& e = use(env);
        if (e.stringsLeft_ == 0) {
            e.pending_ = TestJniEnv::Exception{"java/lang/OutOfMemoryError", "test: no string"};
            return nullptr;
        }
        if (e.stringsLeft_ > 0) {
            e.stringsLeft_--;
        }
        return utf8 != nullptr ? e.string(std::string(utf8)) : nullptr;
    }
    static jstring JNICALL NewString(JNIEnv* env, const jchar* chars, jsize length)
    {
        return use(env).string(std::u16string(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(length)));
    }
    static jsize JNICALL GetStringLength(JNIEnv* env, jstring s)
    {
        use(env);
        return static_cast<jsize>(obj(s)->text.size());
    }
    static jsize JNICALL GetStringUTFLength(JNIEnv* env, jstring s)
    {
        use(env);
        return static_cast<jsize>(toUtf8(obj(s)->text).size());
    }
    static const char* JNICALL GetStringUTFChars(JNIEnv* env, jstring s, jboolean* isCopy)
    {
        if (use(env).stringCharsFail_) {
            self(env).pending_ = TestJniEnv::Exception{"java/lang/OutOfMemoryError", "test: no string characters"};
            return nullptr;
        }
        std::string text = toUtf8(obj(s)->text);
        char* copy = static_cast<char*>(malloc(text.size() + 1));
        memcpy(copy, text.c_str(), text.size() + 1);
        if (isCopy != nullptr) {
            *isCopy = JNI_TRUE;
        }
        self(env).unreleased_++;
        return copy;
    }
    static void JNICALL ReleaseStringUTFChars(JNIEnv* env, jstring /*s*/, const char* chars)
    {
        free(const_cast<char*>(chars));
        self(env).unreleased_--;
    }
    static const jchar* JNICALL GetStringChars(JNIEnv* env, jstring s, jboolean* isCopy)
    {
        use(env);
        const std::u16string& text = obj(s)->text;
        auto* copy = static_cast<jchar*>(malloc((text.size() + 1) * sizeof(jchar)));
        memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(jchar));
        if (isCopy != nullptr) {
            *isCopy = JNI_TRUE;
        }
        self(env).unreleased_++;
        return copy;
    }
    static void JNICALL ReleaseStringChars(JNIEnv* env, jstring /*s*/, const jchar* chars)
    {
        free(const_cast<jchar*>(chars));
        self(env).unreleased_--;
    }

    static jsize JNICALL GetArrayLength(JNIEnv* env, jarray a)
    {
        use(env);
        Object* o = obj(a);
        if (o->kind == Object::ObjectArray) {
            return static_cast<jsize>(o->elements.size());
        }
        return static_cast<jsize>(o->bytes.size() / o->elementSize);
    }
    static jobjectArray JNICALL NewObjectArray(JNIEnv* env, jsize length, jclass /*cls*/, jobject init)
    {
        Object* o = use(env).make();
        o->kind = Object::ObjectArray;
        o->elements.assign(static_cast<size_t>(length), obj(init));
        return ref<jobjectArray>(o);
    }
    static jobject JNICALL GetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize i)
    {
        use(env);
        Object* o = obj(a);
        if (i < 0 || static_cast<size_t>(i) >= o->elements.size()) {
            self(env).pending_ = TestJniEnv::Exception{"java/lang/ArrayIndexOutOfBoundsException", std::to_string(i)};
            return nullptr;
        }
        return ref<jobject>(o->elements[static_cast<size_t>(i)]);
    }
    static void JNICALL SetObjectArrayElement(JNIEnv* env, jobjectArray a, jsize i, jobject v)
    {
        use(env);
        Object* o = obj(a);
        if (i < 0 || static_cast<size_t>(i) >= o->elements.size()) {
            self(env).pending_ = TestJniEnv::Exception{"java/lang/ArrayIndexOutOfBoundsException", std::to_string(i)};
            return;
        }
        o->elements[static_cast<size_t>(i)] = obj(v);
    }

    template <typename T> static Object* newPrimitive(JNIEnv* env, jsize length)
    {
        Object* o = use(env).make();
        o->kind = Object::PrimitiveArray;
        o->elementSize = sizeof(T);
        o->bytes.assign(static_cast<size_t>(length) * sizeof(T), 0);
        return o;
    }
    template <typename T> static T* JNICALL elements(JNIEnv* env, jarray a, jboolean* isCopy)
    {
        use(env);
        Object* o = obj(a);
        T* copy = static_cast<T*>(malloc(o->bytes.size() + sizeof(T)));
        memcpy(copy, o->bytes.data(), o->bytes.size());
        if (isCopy != nullptr) {
            *isCopy = JNI_TRUE;
        }
        self(env).unreleased_++;
        return copy;
    }
    template <typename T> static void JNICALL releaseElements(JNIEnv* env, jarray a, T* copy, jint mode)
    {
        Object* o = obj(a);
        if (mode == 0 || mode == JNI_COMMIT) {
            memcpy(o->bytes.data(), copy, o->bytes.size());
        }
        if (mode == 0 || mode == JNI_ABORT) {
            free(copy);
            self(env).unreleased_--;
        }
    }
    // A region that does not lie inside the array raises, as in a JVM,
    // instead of being copied past the array's end.
    template <typename T> static bool regionInside(JNIEnv* env, jarray a, jsize start, jsize n)
    {
        size_t length = obj(a)->bytes.size() / sizeof(T);
        if (start < 0 || n < 0 || static_cast<size_t>(start) > length ||
            static_cast<size_t>(n) > length - static_cast<size_t>(start)) {
            self(env).pending_ = TestJniEnv::Exception{"java/lang/ArrayIndexOutOfBoundsException",
                                                       std::to_string(start) + "+" + std::to_string(n)};
            return false;
        }
        return true;
    }
    template <typename T> static void JNICALL getRegion(JNIEnv* env, jarray a, jsize start, jsize n, T* out)
    {
        use(env);
        if (regionInside<T>(env, a, start, n)) {
            memcpy(out, obj(a)->bytes.data() + static_cast<size_t>(start) * sizeof(T),
                   static_cast<size_t>(n) * sizeof(T));
        }
    }
    template <typename T> static void JNICALL setRegion(JNIEnv* env, jarray a, jsize start, jsize n, const T* in)
    {
        use(env);
        if (regionInside<T>(env, a, start, n)) {
            memcpy(obj(a)->bytes.data() + static_cast<size_t>(start) * sizeof(T), in,
                   static_cast<size_t>(n) * sizeof(T));
        }
    }
    static jbyteArray JNICALL NewByteArray(JNIEnv* env, jsize n)
    {
        return ref<jbyteArray>(newPrimitive<jbyte>(env, n));
    }
    static jintArray JNICALL NewIntArray(JNIEnv* env, jsize n) { return ref<jintArray>(newPrimitive<jint>(env, n)); }
    static jlongArray JNICALL NewLongArray(JNIEnv* env, jsize n)
    {
        return ref<jlongArray>(newPrimitive<jlong>(env, n));
    }
    static jdoubleArray JNICALL NewDoubleArray(JNIEnv* env, jsize n)
    {
        return ref<jdoubleArray>(newPrimitive<jdouble>(env, n));
    }

    static jclass JNICALL GetObjectClass(JNIEnv* env, jobject o)
    {
        TestJniEnv& e = use(env);
        return ref<jclass>(obj(o)->declaring != nullptr ? obj(o)->declaring : e.classNamed(obj(o)->name));
    }
    static jfieldID JNICALL GetFieldID(JNIEnv* env, jclass cls, const char* name, const char* sig)
    {
        TestJniEnv& e = use(env);
        bool declared = true;
        if (cls != nullptr && obj(cls)->declares) {
            auto it = obj(cls)->fields.find(name);
            declared = it != obj(cls)->fields.end() && it->second.signature == sig;
        }
        if (e.hiddenFields_.count(name) != 0 || !declared) {
            e.pending_ = TestJniEnv::Exception{"java/lang/NoSuchFieldError", name};
            return nullptr;
        }
        auto& slot = e.fieldIds_[name];
        if (!slot) {
            slot = std::make_unique<std::string>(name);
        }
        return reinterpret_cast<jfieldID>(slot.get());
    }
    static const std::string& fieldName(jfieldID id) { return *reinterpret_cast<const std::string*>(id); }
    template <typename T> static const char* signatureOf()
    {
        if constexpr (std::is_same_v<T, jint>) {
            return "I";
        } else if constexpr (std::is_same_v<T, jlong>) {
            return "J";
        } else if constexpr (std::is_same_v<T, jfloat>) {
            return "F";
        } else if constexpr (std::is_same_v<T, jdouble>) {
            return "D";
        } else {
            return "Z";
        }
    }
    // The field behind id, accessed as a T: a declared one only through the
    // functions of its own type; any other is made on first use.
    template <typename T> static Field& fieldAt(jobject o, jfieldID id)
    {
        Object* instance = obj(o);
        if (instance->declaring == nullptr) {
            Field& f = instance->fields[fieldName(id)];
            f.signature = signatureOf<T>();
            return f;
        }
        auto it = instance->fields.find(fieldName(id));
        if (it == instance->fields.end() || it->second.signature != signatureOf<T>()) {
            throw std::runtime_error("bad field id");
        }
        return it->second;
    }
    template <typename T> static T JNICALL getField(JNIEnv* env, jobject o, jfieldID id)
    {
        use(env);
        const Field& f = fieldAt<T>(o, id);
        if (obj(o)->declaring == nullptr) {
            return static_cast<T>(f.number);
        }
        if constexpr (std::is_same_v<T, jint>) {
            return f.i;
        } else if constexpr (std::is_same_v<T, jlong>) {
            return f.j;
        } else if constexpr (std::is_same_v<T, jfloat>) {
            return f.f;
        } else {
            return static_cast<T>(f.number);
        }
    }
    template <typename T> static void JNICALL setField(JNIEnv* env, jobject o, jfieldID id, T value)
    {
        use(env);
        Field& f = fieldAt<T>(o, id);
        if constexpr (std::is_same_v<T, jint>) {
            f.i = value;
        } else if constexpr (std::is_same_v<T, jlong>) {
            f.j = value;
        } else if constexpr (std::is_same_v<T, jfloat>) {
            f.f = value;
        }
        f.number = static_cast<double>(value);
        f.writes++;
    }
};

namespace {

// Every slot not filled below lands here.
void trap()
{
    fprintf(stderr, "test JNI environment: a JNI function that it does not implement was called\n");
    abort();
}

} // namespace

TestJniEnv::TestJniEnv() : table_(std::make_unique<JNINativeInterface_>())
{
    void** slots = reinterpret_cast<void**>(table_.get());
    for (size_t i = 0; i < sizeof(JNINativeInterface_) / sizeof(void*); i++) {
        slots[i] = reinterpret_cast<void*>(&trap);
    }
    using F = TestJniFunctions;
    JNINativeInterface_& t = *table_;
    t.FindClass = F::FindClass;
    t.ThrowNew = F::ThrowNew;
    t.ExceptionOccurred = F::ExceptionOccurred;
    t.ExceptionClear = F::ExceptionClear;
    t.ExceptionCheck = F::ExceptionCheck;
    t.DeleteLocalRef = F::DeleteLocalRef;
    t.NewStringUTF = F::NewStringUTF;
    t.NewString = F::NewString;
    t.GetStringLength = F::GetStringLength;
    t.GetStringUTFLength = F::GetStringUTFLength;
    t.GetStringUTFChars = F::GetStringUTFChars;
    t.ReleaseStringUTFChars = F::ReleaseStringUTFChars;
    t.GetStringChars = F::GetStringChars;
    t.ReleaseStringChars = F::ReleaseStringChars;
    t.GetArrayLength = F::GetArrayLength;
    t.NewObjectArray = F::NewObjectArray;
    t.GetObjectArrayElement = F::GetObjectArrayElement;
    t.SetObjectArrayElement = F::SetObjectArrayElement;
    t.NewByteArray = F::NewByteArray;
    t.NewIntArray = F::NewIntArray;
    t.NewLongArray = F::NewLongArray;
    t.NewDoubleArray = F::NewDoubleArray;
    t.GetByteArrayElements = reinterpret_cast<decltype(t.GetByteArrayElements)>(&F::elements<jbyte>);
    t.ReleaseByteArrayElements = reinterpret_cast<decltype(t.ReleaseByteArrayElements)>(&F::releaseElements<jbyte>);
    t.GetIntArrayElements = reinterpret_cast<decltype(t.GetIntArrayElements)>(&F::elements<jint>);
    t.ReleaseIntArrayElements = reinterpret_cast<decltype(t.ReleaseIntArrayElements)>(&F::releaseElements<jint>);
    t.GetLongArrayElements = reinterpret_cast<decltype(t.GetLongArrayElements)>(&F::elements<jlong>);
    t.ReleaseLongArrayElements = reinterpret_cast<decltype(t.ReleaseLongArrayElements)>(&F::releaseElements<jlong>);
    t.GetDoubleArrayElements = reinterpret_cast<decltype(t.GetDoubleArrayElements)>(&F::elements<jdouble>);
    t.ReleaseDoubleArrayElements =
        reinterpret_cast<decltype(t.ReleaseDoubleArrayElements)>(&F::releaseElements<jdouble>);
    t.GetByteArrayRegion = reinterpret_cast<decltype(t.GetByteArrayRegion)>(&F::getRegion<jbyte>);
    t.SetByteArrayRegion = reinterpret_cast<decltype(t.SetByteArrayRegion)>(&F::setRegion<jbyte>);
    t.GetIntArrayRegion = reinterpret_cast<decltype(t.GetIntArrayRegion)>(&F::getRegion<jint>);
    t.SetIntArrayRegion = reinterpret_cast<decltype(t.SetIntArrayRegion)>(&F::setRegion<jint>);
    t.GetLongArrayRegion = reinterpret_cast<decltype(t.GetLongArrayRegion)>(&F::getRegion<jlong>);
    t.SetLongArrayRegion = reinterpret_cast<decltype(t.SetLongArrayRegion)>(&F::setRegion<jlong>);
    t.GetDoubleArrayRegion = reinterpret_cast<decltype(t.GetDoubleArrayRegion)>(&F::getRegion<jdouble>);
    t.SetDoubleArrayRegion = reinterpret_cast<decltype(t.SetDoubleArrayRegion)>(&F::setRegion<jdouble>);
    t.GetObjectClass = F::GetObjectClass;
    t.GetFieldID = F::GetFieldID;
    t.GetIntField = F::getField<jint>;
    t.SetIntField = F::setField<jint>;
    t.GetLongField = F::getField<jlong>;
    t.SetLongField = F::setField<jlong>;
    t.GetFloatField = F::getField<jfloat>;
    t.SetFloatField = F::setField<jfloat>;
    t.GetDoubleField = F::getField<jdouble>;
    t.SetDoubleField = F::setField<jdouble>;
    t.GetBooleanField = F::getField<jboolean>;
    t.SetBooleanField = F::setField<jboolean>;
    holder_.functions = table_.get();
    holder_.self = this;
}

TestJniEnv::~TestJniEnv() = default;

TestJniEnv::Object* TestJniEnv::make()
{
    objects_.push_back(std::make_unique<Object>());
    return objects_.back().get();
}

TestJniEnv::Object* TestJniEnv::classNamed(const std::string& name)
{
    Object*& cls = classes_[name];
    if (cls == nullptr) {
        cls = make();
        cls->kind = Object::Class;
        cls->name = name;
    }
    return cls;
}

jstring TestJniEnv::string(const std::string& utf8)
{
    return string(toUtf16(utf8));
}

jstring TestJniEnv::string(const std::u16string& text)
{
    Object* o = make();
    o->kind = Object::String;
    o->text = text;
    return ref<jstring>(o);
}

jobjectArray TestJniEnv::stringArray(const std::vector<std::optional<std::string>>& elements)
{
    Object* o = make();
    o->kind = Object::ObjectArray;
    for (const auto& element : elements) {
        o->elements.push_back(element ? obj(string(*element)) : nullptr);
    }
    return ref<jobjectArray>(o);
}

jbyteArray TestJniEnv::byteArray(const std::vector<jbyte>& bytes)
{
    Object* o = make();
    o->kind = Object::PrimitiveArray;
    o->bytes.assign(reinterpret_cast<const unsigned char*>(bytes.data()),
                    reinterpret_cast<const unsigned char*>(bytes.data()) + bytes.size());
    return ref<jbyteArray>(o);
}

jintArray TestJniEnv::intArray(const std::vector<jint>& ints)
{
    Object* o = make();
    o->kind = Object::PrimitiveArray;
    o->elementSize = sizeof(jint);
    o->bytes.assign(reinterpret_cast<const unsigned char*>(ints.data()),
                    reinterpret_cast<const unsigned char*>(ints.data()) + ints.size() * sizeof(jint));
    return ref<jintArray>(o);
}

jobject TestJniEnv::newInstance(const std::string& className)
{
    Object* o = make();
    o->kind = Object::Instance;
    o->name = className;
    return ref<jobject>(o);
}

jobject TestJniEnv::newObject(const std::vector<std::pair<std::string, std::string>>& fields)
{
    Object* cls = make();
    cls->kind = Object::Class;
    cls->name = "TestObject";
    cls->declares = true;
    for (const auto& [name, signature] : fields) {
        cls->fields[name].signature = signature;
    }
    Object* o = make();
    o->kind = Object::Instance;
    o->name = cls->name;
    o->declaring = cls;
    o->fields = cls->fields;
    return ref<jobject>(o);
}

TestJniEnv::Field& TestJniEnv::field(jobject object, const std::string& name)
{
    auto it = obj(object)->fields.find(name);
    if (it == obj(object)->fields.end()) {
        throw std::runtime_error("no field " + name);
    }
    return it->second;
}

std::string TestJniEnv::utf8(jobject str) const
{
    return str != nullptr ? toUtf8(obj(str)->text) : "<null>";
}

std::u16string TestJniEnv::utf16(jobject str) const
{
    return str != nullptr ? obj(str)->text : u"";
}

std::vector<std::string> TestJniEnv::strings(jobject array) const
{
    std::vector<std::string> out;
    for (Object* element : obj(array)->elements) {
        out.push_back(element != nullptr ? toUtf8(element->text) : "<null>");
    }
    return out;
}

std::vector<unsigned char> TestJniEnv::primitiveBytes(jobject array) const
{
    return obj(array)->bytes;
}

std::vector<jbyte> TestJniEnv::bytes(jobject array) const
{
    const std::vector<unsigned char>& bytes = obj(array)->bytes;
    return std::vector<jbyte>(bytes.begin(), bytes.end());
}

std::optional<double> TestJniEnv::numberField(jobject object, const std::string& name) const
{
    auto it = obj(object)->fields.find(name);
    if (it == obj(object)->fields.end()) {
        return std::nullopt;
    }
    return it->second.number;
}

std::optional<TestJniEnv::Exception> TestJniEnv::takeException()
{
    std::optional<Exception> taken = pending_;
    pending_.reset();
    return taken;
}
