// The MAC addresses of the machine's network adapters, from the adapter
// functions of iphlpapi.dll, looked up at run time: GetAdaptersAddresses
// where the system has it, GetAdaptersInfo where it has not or does not
// support it.  The module and its entries are kept once loaded; the adapter
// list is read into a buffer of the size the system asks for and freed
// within the call.
#include "com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil.h"
#include "common/win32.h"
#include "hostscout/mac_text.h"

#include <winsock2.h>

#include <iphlpapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Tries for an adapter list that grows between the size query and the read.
constexpr int LIST_TRIES = 4;

using GetAdaptersAddressesFn = ULONG(WINAPI*)(ULONG, ULONG, void*, IP_ADAPTER_ADDRESSES*, ULONG*);
using GetAdaptersInfoFn = ULONG(WINAPI*)(IP_ADAPTER_INFO*, ULONG*);

HMODULE modIphlpapi = nullptr;
GetAdaptersAddressesFn getAdaptersAddresses = nullptr;
GetAdaptersInfoFn getAdaptersInfo = nullptr;

const char moduleName[] = "NetworkInterfaceUtil";
const char loadName[] = "Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_loadDLL";
const char entryName[] = "Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsWin";

void traceInt(const char* function, const char* label, int value)
{
    if (isTraceEnabled == 1) {
        printf("%s %s %s %i\n", moduleName, function, label, value);
    }
}

void traceLabel(const char* function, const char* label)
{
    if (isTraceEnabled == 1) {
        printf("%s %s %s\n", moduleName, function, label);
    }
}

// Handles and entries are traced as "%i" values: their low 32 bits.
int traced(const void* pointer)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(pointer));
}

void loadDLL()
{
    traceInt(loadName, " modIphlpapi=", traced(modIphlpapi));
    if (modIphlpapi != nullptr) {
        return;
    }
    modIphlpapi = LoadLibraryA("iphlpapi.dll");
    traceInt(loadName, " LoadLibrary.. modIphlpapi=", traced(modIphlpapi));
    if (modIphlpapi != nullptr) {
        getAdaptersAddresses = procAddress<GetAdaptersAddressesFn>(modIphlpapi, "GetAdaptersAddresses");
        traceInt(loadName, " GetAdaptersAddresses; gaa=", traced(reinterpret_cast<void*>(getAdaptersAddresses)));
        getAdaptersInfo = procAddress<GetAdaptersInfoFn>(modIphlpapi, "GetAdaptersInfo");
        traceInt(loadName, " GetAdaptersInfo; gai=", traced(reinterpret_cast<void*>(getAdaptersInfo)));
    }
}

void jniUtilThrowException(JNIEnv* env, const char* message)
{
    jclass exceptionClass = env->FindClass("java/lang/Exception");
    if (exceptionClass != nullptr) {
        env->ThrowNew(exceptionClass, message);
    }
}

void throwStatus(JNIEnv* env, const char* prefix, ULONG status)
{
    char message[96];
    snprintf(message, sizeof message, "%s%i", prefix, static_cast<int>(status));
    jniUtilThrowException(env, message);
}

// The adapter list read by call (the system's adapter function bound to its
// arguments) into a buffer of size bytes that the caller frees, with the
// status of the last read; null when no buffer could be had.  A list that
// grew since its size was asked for is read again at its new size.
template <typename Adapter, typename Call>
Adapter* readList(Call call, ULONG size, ULONG* status, const char* readLabel, const char* mallocLabel)
{
    Adapter* list = nullptr;
    for (int i = 0; i < LIST_TRIES; i++) {
        // A system without adapters asks for no bytes; the read then says so.
        list = static_cast<Adapter*>(malloc(size != 0 ? size : 1));
        if (list == nullptr) {
            traceLabel(entryName, mallocLabel);
            return nullptr;
        }
        *status = call(list, &size);
        traceInt(entryName, readLabel, static_cast<int>(*status));
        if (*status != ERROR_BUFFER_OVERFLOW || i == LIST_TRIES - 1) {
            break;
        }
        free(list);
    }
    return list;
}

jobjectArray jniUtilCreateStringArray(JNIEnv* env, jsize n)
{
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    return env->NewObjectArray(n, stringClass, nullptr);
}

// The addresses of the adapters that have one, in list order.  The count
// sizes the array and the walk stores no more than it, from the same list;
// a failed allocation ends the walk with its error pending for Java.
template <typename Adapter, typename Length, typename Address>
jobjectArray addressTexts(JNIEnv* env, Adapter* list, Length length, Address address, const char* countLabel,
                          const char* lengthLabel)
{
    jsize count = 0;
    for (Adapter* adapter = list; adapter != nullptr; adapter = adapter->Next) {
        if (length(adapter) != 0) {
            count++;
        }
    }
    traceInt(entryName, countLabel, count);
    if (count == 0) {
        return nullptr;
    }
    jobjectArray result = nullptr;
    jsize next = 0;
    for (Adapter* adapter = list; adapter != nullptr; adapter = adapter->Next) {
        traceInt(entryName, lengthLabel, static_cast<int>(length(adapter)));
        if (length(adapter) == 0 || next == count) {
            continue;
        }
        char text[MAC_TEXT_SIZE];
        getMacAddress(text, address(adapter), static_cast<int>(length(adapter)));
        if (result == nullptr) {
            result = jniUtilCreateStringArray(env, count);
            if (result == nullptr) {
                return nullptr;
            }
        }
        jstring macText = env->NewStringUTF(text);
        if (macText == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(result, next++, macText);
        env->DeleteLocalRef(macText);
    }
    return result;
}

// The answer through GetAdaptersAddresses; *tryInfo when the system does not
// support it.
jobjectArray fromAdaptersAddresses(JNIEnv* env, bool* tryInfo)
{
    ULONG size = 0;
    ULONG rc = getAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size);
    traceInt(entryName, " First call to GetAdapterAddreses(); rc=", static_cast<int>(rc));
    auto* list = readList<IP_ADAPTER_ADDRESSES>(
        [](IP_ADAPTER_ADDRESSES* buffer, ULONG* length) {
            return getAdaptersAddresses(AF_UNSPEC, 0, nullptr, buffer, length);
        },
        size, &rc, " Second call to GetAdapterAddreses(); rc=", " malloc() for pAdapterAddrs failed.");
    if (list == nullptr) {
        jniUtilThrowException(env, "malloc() for pAdapterAddrs failed.");
        return nullptr;
    }
    jobjectArray result = nullptr;
    if (rc == NO_ERROR) {
        result = addressTexts(
            env, list, [](IP_ADAPTER_ADDRESSES* a) { return a->PhysicalAddressLength; },
            [](IP_ADAPTER_ADDRESSES* a) { return static_cast<const unsigned char*>(a->PhysicalAddress); },
            "getNumAdaptersGAA() returned length=", "pAdapterAddrs->PhysicalAddressLength=");
    } else if (rc == ERROR_NOT_SUPPORTED) {
        traceInt(entryName, "getApdatersAddresses() returned ERROR_NOT_SUPPORTED. Trying GetAdaptersInfo() next.. rc=",
                 static_cast<int>(rc));
        *tryInfo = true;
    } else {
        throwStatus(env, "GetAdapersAddresses() returned error; rc=", rc);
    }
    free(list);
    return result;
}

jobjectArray fromAdaptersInfo(JNIEnv* env)
{
    ULONG size = 0;
    ULONG rc2 = getAdaptersInfo(nullptr, &size);
    traceInt(entryName, " First call to GetAdaptersInfo(); rc2=", static_cast<int>(rc2));
    auto* list = readList<IP_ADAPTER_INFO>(
        [](IP_ADAPTER_INFO* buffer, ULONG* length) { return getAdaptersInfo(buffer, length); }, size, &rc2,
        " Second call to GetAdaptersInfo(); rc2=", " malloc() for pAdapterInfo failed.");
    if (list == nullptr) {
        jniUtilThrowException(env, "malloc() for pAdapterInfo failed.");
        return nullptr;
    }
    jobjectArray result = nullptr;
    if (rc2 == NO_ERROR) {
        result = addressTexts(
            env, list, [](IP_ADAPTER_INFO* a) { return a->AddressLength; },
            [](IP_ADAPTER_INFO* a) { return static_cast<const unsigned char*>(a->Address); },
            "getNumAdaptersGAI() returned length=", "pAdapterInfo->AddressLength=");
    } else {
        throwStatus(env, "GetAdapersInfo() returned error; rc2=", rc2);
    }
    free(list);
    return result;
}

} // namespace

extern "C" {

JNIEXPORT jobjectArray JNICALL Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsWin(JNIEnv* env,
                                                                                                   jclass /*cls*/)
{
    loadDLL();
    if (modIphlpapi == nullptr) {
        jniUtilThrowException(env, "loadDLL() couldn't load iphlpapi.dll.");
        return nullptr;
    }
    bool tryInfo = getAdaptersAddresses == nullptr;
    if (!tryInfo) {
        jobjectArray result = fromAdaptersAddresses(env, &tryInfo);
        if (!tryInfo) {
            return result;
        }
    }
    return getAdaptersInfo != nullptr ? fromAdaptersInfo(env) : nullptr;
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_enableNativeTracing(JNIEnv* /*env*/,
                                                                                                jclass /*cls*/,
                                                                                                jboolean on)
{
    isTraceEnabled = on == 1 ? 1 : 0;
}

} // extern "C"
