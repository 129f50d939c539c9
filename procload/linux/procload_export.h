// libProcLoad.so exports its internal routines and tables by their own names,
// for C callers, beside the exports of the Java contract.
#pragma once

#include <jni.h>

#define PROCLOAD_INTERNAL JNIEXPORT
