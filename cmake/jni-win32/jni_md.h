/* The machine-dependent part of jni.h for the Windows builds: the JDK's own
 * jni.h is used with this file in place of its Unix jni_md.h. */
#ifndef QOR_JNI_MD_H
#define QOR_JNI_MD_H

#ifndef JNIEXPORT
#define JNIEXPORT __declspec(dllexport)
#endif
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
