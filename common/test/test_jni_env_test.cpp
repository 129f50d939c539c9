// The test JNI environment answers the way a Java virtual machine does, so
// that a fault of the code under test shows here as it would in a JVM.
#include "common/test/test_jni_env.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(TestJniEnv, RegionsOutsideTheArrayRaiseInsteadOfReadingOrWritingPastIt)
{
    TestJniEnv jni;
    JNIEnv* env = jni;
    jbyteArray bytes = jni.byteArray({1, 2, 3, 4});
    jbyte out[8] = {9, 9, 9, 9, 9, 9, 9, 9};

    env->GetByteArrayRegion(bytes, 1, 3, out);
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 4);

    env->GetByteArrayRegion(bytes, 2, 3, out);
    ASSERT_TRUE(jni.exceptionPending());
    EXPECT_EQ(jni.takeException()->className, "java/lang/ArrayIndexOutOfBoundsException");
    env->GetByteArrayRegion(bytes, -1, 1, out);
    EXPECT_EQ(jni.takeException()->className, "java/lang/ArrayIndexOutOfBoundsException");
    env->GetByteArrayRegion(bytes, 0, -1, out);
    EXPECT_EQ(jni.takeException()->className, "java/lang/ArrayIndexOutOfBoundsException");

    jintArray ints = env->NewIntArray(2);
    const jint in[3] = {7, 8, 9};
    env->SetIntArrayRegion(ints, 0, 3, in);
    EXPECT_EQ(jni.takeException()->className, "java/lang/ArrayIndexOutOfBoundsException");
    env->SetIntArrayRegion(ints, 1, 1, in);
    EXPECT_FALSE(jni.exceptionPending());
    EXPECT_EQ(jni.primitiveBytes(ints), (std::vector<unsigned char>{0, 0, 0, 0, 7, 0, 0, 0}));
}

} // namespace
