// MAC addresses of network devices, read straight from each device driver
// over DLPI: open the device, attach the PPA, bind a SAP and take the local
// address out of the bind acknowledgement.  The Java side names the devices;
// nothing is discovered here.
//
// Each thread has its own pair of DLPI message buffers, so getMacAddrsSun
// calls on several threads at once do not overwrite each other's messages.
#include "hostscout/solaris/dlpi_bind_ack.h"
#include "hostscout/solaris/hostscout.h"

#include "com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <jni.h>
#include <stropts.h>
#include <sys/dlpi.h>
#include <unistd.h>

namespace {

constexpr int STATUS_OK = 0;
constexpr int STATUS_FAILED = 128;
// Bits of get_msg's result.
constexpr int MSG_CTL = 1;
constexpr int MSG_DATA = 2;
constexpr int MSG_INTERRUPTED = 4;

constexpr int BUFFER_SIZE = 5000;
constexpr t_uscalar_t BIND_SAP = 22;
constexpr t_uscalar_t MAX_DLSAP_LENGTH = 8;
constexpr int MAC_LENGTH = 6;

const char moduleName[] = "NetworkInterfaceUtil";
const char entryName[] = "Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun";

// DLPI primitives are read and written as 32-bit words in these buffers.
alignas(4) thread_local char ctl_area[BUFFER_SIZE];
alignas(4) thread_local char dat_area[BUFFER_SIZE];
thread_local struct strbuf ctl = {BUFFER_SIZE, 0, ctl_area};
thread_local struct strbuf dat = {BUFFER_SIZE, 0, dat_area};

void traceInt(const char* function, const char* label, int value)
{
    if (isTraceEnabled == 1) {
        printf("%s %s %s %i\n", moduleName, function, label, value);
    }
}

void traceText(const char* function, const char* label, const char* value)
{
    if (isTraceEnabled == 1) {
        printf("%s %s %s %s\n", moduleName, function, label, value);
    }
}

void traceLabel(const char* function, const char* label)
{
    if (isTraceEnabled == 1) {
        printf("%s %s %s\n", moduleName, function, label);
    }
}

uint32_t ctlWord(size_t offset)
{
    uint32_t word = 0;
    memcpy(&word, ctl_area + offset, sizeof word);
    return word;
}

int put_ctrl(int fd, int length, int flags)
{
    ctl.len = length;
    return putmsg(fd, &ctl, nullptr, flags) < 0 ? STATUS_FAILED : STATUS_OK;
}

int get_msg(int fd)
{
    memset(ctl_area, 0, sizeof(t_uscalar_t));
    memset(dat_area, 0, sizeof(t_uscalar_t));
    ctl.maxlen = BUFFER_SIZE;
    dat.maxlen = BUFFER_SIZE;
    int flags = 0;
    if (getmsg(fd, &ctl, &dat, &flags) < 0) {
        return errno == EINTR ? MSG_INTERRUPTED : STATUS_FAILED;
    }
    int rc = 0;
    if (ctl.len > 0) {
        rc |= MSG_CTL;
    }
    if (dat.len > 0) {
        rc |= MSG_DATA;
    }
    return rc;
}

int check_ctrl(t_uscalar_t primitive)
{
    return ctlWord(0) == primitive ? STATUS_OK : STATUS_FAILED;
}

int dlopen(const char* device, jint ppa, int* fd)
{
    *fd = -1;
    // A PPA is an unsigned number and a device a path; anything else is
    // refused before it reaches the driver.
    if (device == nullptr || ppa < 0 || strnlen(device, PATH_MAX) >= PATH_MAX) {
        return STATUS_FAILED;
    }
    *fd = open(device, O_RDWR);
    if (*fd == -1) {
        return STATUS_FAILED;
    }
    dl_attach_req_t attach = {DL_ATTACH_REQ, static_cast<t_uscalar_t>(ppa)};
    memcpy(ctl_area, &attach, sizeof attach);
    int rc = put_ctrl(*fd, sizeof attach, 0);
    if (isTraceEnabled == 1) {
        printf("dlopen::put_ctrl, rc=%i\n", rc);
    }
    if (rc == STATUS_FAILED) {
        return STATUS_FAILED;
    }
    rc = get_msg(*fd);
    if (isTraceEnabled == 1) {
        printf("dlopen::get_msg, rc=%i\n", rc);
    }
    if (rc == STATUS_FAILED) {
        return STATUS_FAILED;
    }
    // An error acknowledgement, or an interrupted receive that left the
    // zeroed primitive, fails here.
    return check_ctrl(DL_OK_ACK);
}

int dlbind(int fd, t_uscalar_t sap, unsigned char* mac)
{
    dl_bind_req_t bind = {DL_BIND_REQ, sap, 1, DL_CLDLS, 0, 0};
    memcpy(ctl_area, &bind, sizeof bind);
    int rc = put_ctrl(fd, sizeof bind, 0);
    if (isTraceEnabled == 1) {
        printf("dlbind::put_ctrl, rc=%i\n", rc);
    }
    if (rc == STATUS_FAILED) {
        return STATUS_FAILED;
    }
    rc = get_msg(fd);
    if (isTraceEnabled == 1) {
        printf("dlbind::get_msg, rc=%i\n", rc);
    }
    if (rc == STATUS_FAILED) {
        return STATUS_FAILED;
    }
    if (check_ctrl(DL_BIND_ACK) == STATUS_FAILED) {
        return STATUS_FAILED;
    }
    if (isTraceEnabled == 1) {
        printf("dl_bind: bind_ack->dl_addr_length=%u\n", ctlWord(offsetof(dl_bind_ack_t, dl_addr_length)));
    }
    if (dlpi_bindAckAddress(ctl_area, ctl.len, mac) < 0) {
        return STATUS_FAILED;
    }
    if (isTraceEnabled == 1) {
        printf("dlbind: size of u_char=%i, size of llc_dladdr_p->dl_mac=%i\n", static_cast<int>(sizeof(unsigned char)),
               MAC_LENGTH);
        printf("dlbind: mac_length=%i\n", MAC_LENGTH);
    }
    return MAC_LENGTH;
}

jobjectArray jniUtilCreateStringArray(JNIEnv* env, jsize n)
{
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) {
        return nullptr;
    }
    return env->NewObjectArray(n, stringClass, nullptr);
}

void jniUtilThrowException(JNIEnv* env, const char* message)
{
    jclass exceptionClass = env->FindClass("java/lang/Exception");
    if (exceptionClass != nullptr) {
        env->ThrowNew(exceptionClass, message);
    }
}

void buildErrorMessage(char* message, size_t size, const char* prefix, int status)
{
    snprintf(message, size, "%s%i", prefix, status);
}

} // namespace

char* doAtoE(const char* source, char* target)
{
    // ISO 8859-1 to EBCDIC code page 1047, with newline (0x0A) as NL (0x15).
    static const unsigned char a2e[256] = {
        0x00, 0x01, 0x02, 0x03, 0x37, 0x2D, 0x2E, 0x2F, 0x16, 0x05, 0x15, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, //
        0x10, 0x11, 0x12, 0x13, 0x3C, 0x3D, 0x32, 0x26, 0x18, 0x19, 0x3F, 0x27, 0x1C, 0x1D, 0x1E, 0x1F, //
        0x40, 0x5A, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60, 0x4B, 0x61, //
        0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E, 0x4C, 0x7E, 0x6E, 0x6F, //
        0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, //
        0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xAD, 0xE0, 0xBD, 0x5F, 0x6D, //
        0x79, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, //
        0x97, 0x98, 0x99, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0x4F, 0xD0, 0xA1, 0x07, //
        0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x06, 0x17, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x09, 0x0A, 0x1B, //
        0x30, 0x31, 0x1A, 0x33, 0x34, 0x35, 0x36, 0x08, 0x38, 0x39, 0x3A, 0x3B, 0x04, 0x14, 0x3E, 0xFF, //
        0x41, 0xAA, 0x4A, 0xB1, 0x9F, 0xB2, 0x6A, 0xB5, 0xBB, 0xB4, 0x9A, 0x8A, 0xB0, 0xCA, 0xAF, 0xBC, //
        0x90, 0x8F, 0xEA, 0xFA, 0xBE, 0xA0, 0xB6, 0xB3, 0x9D, 0xDA, 0x9B, 0x8B, 0xB7, 0xB8, 0xB9, 0xAB, //
        0x64, 0x65, 0x62, 0x66, 0x63, 0x67, 0x9E, 0x68, 0x74, 0x71, 0x72, 0x73, 0x78, 0x75, 0x76, 0x77, //
        0xAC, 0x69, 0xED, 0xEE, 0xEB, 0xEF, 0xEC, 0xBF, 0x80, 0xFD, 0xFE, 0xFB, 0xFC, 0xBA, 0xAE, 0x59, //
        0x44, 0x45, 0x42, 0x46, 0x43, 0x47, 0x9C, 0x48, 0x54, 0x51, 0x52, 0x53, 0x58, 0x55, 0x56, 0x57, //
        0x8C, 0x49, 0xCD, 0xCE, 0xCB, 0xCF, 0xCC, 0xE1, 0x70, 0xDD, 0xDE, 0xDB, 0xDC, 0x8D, 0x8E, 0xDF, //
    };
    size_t i = 0;
    do {
        target[i] = static_cast<char>(a2e[static_cast<unsigned char>(source[i])]);
    } while (source[i++] != '\0');
    return target;
}

extern "C" {

JNIEXPORT jobjectArray JNICALL Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_getMacAddrsSun(JNIEnv* env,
                                                                                                   jclass /*cls*/,
                                                                                                   jobjectArray devices,
                                                                                                   jintArray ppas)
{
    if (devices == nullptr) {
        traceLabel(entryName, "jobjArr argument is NULL");
        return nullptr;
    }
    if (ppas == nullptr) {
        traceLabel(entryName, "jintArr argument is NULL");
        return nullptr;
    }
    jsize n = env->GetArrayLength(devices);
    traceInt(entryName, "jobjArr length=", n);
    if (n <= 0) {
        return nullptr;
    }
    jsize m = env->GetArrayLength(ppas);
    traceInt(entryName, "jintArr length=", m);
    if (m != n) {
        return nullptr;
    }
    jint* cintArr = env->GetIntArrayElements(ppas, nullptr);
    if (cintArr == nullptr) {
        traceLabel(entryName, "cintArr is NULL");
        return nullptr;
    }

    jobjectArray result = nullptr;
    for (jsize i = 0; i < n; i++) {
        auto device = static_cast<jstring>(env->GetObjectArrayElement(devices, i));
        const char* deviceName = device != nullptr ? env->GetStringUTFChars(device, nullptr) : nullptr;
        if (device != nullptr && deviceName == nullptr) {
            // No memory for the characters: the OutOfMemoryError is pending
            // for Java, and no other JNI call may follow it.
            env->DeleteLocalRef(device);
            break;
        }
        traceText(entryName, "deviceName=", deviceName != nullptr ? deviceName : "(null)");
        traceInt(entryName, "intfNum=", cintArr[i]);

        int fd = -1;
        char message[64];
        int status = dlopen(deviceName, cintArr[i], &fd);
        traceInt(entryName, "dlopen rc=", status);
        bool failed = false;
        if (status == STATUS_FAILED) {
            buildErrorMessage(message, sizeof message, "dlopen() returned error; rc=", status);
            jniUtilThrowException(env, message);
            failed = true;
        } else {
            unsigned char mac[MAX_DLSAP_LENGTH];
            status = dlbind(fd, BIND_SAP, mac);
            traceInt(entryName, "dlbind rc=", status);
            if (status == STATUS_FAILED) {
                buildErrorMessage(message, sizeof message, "dlbind() returned error; rc=", status);
                jniUtilThrowException(env, message);
                failed = true;
            } else {
                char text[3 * MAX_DLSAP_LENGTH + 1];
                getMacAddress(text, mac, status);
                if (result == nullptr) {
                    result = jniUtilCreateStringArray(env, n);
                }
                if (result == nullptr) {
                    failed = true; // the allocation failure is pending in Java
                } else {
                    jstring macText = env->NewStringUTF(text);
                    if (macText == nullptr) {
                        failed = true; // the allocation failure is pending in Java
                    } else {
                        env->SetObjectArrayElement(result, i, macText);
                        env->DeleteLocalRef(macText);
                    }
                }
            }
        }
        if (deviceName != nullptr) {
            env->ReleaseStringUTFChars(device, deviceName);
        }
        env->DeleteLocalRef(device);
        if (fd != -1) {
            close(fd);
        }
        if (failed) {
            break;
        }
    }
    env->ReleaseIntArrayElements(ppas, cintArr, 0);
    return result;
}

JNIEXPORT void JNICALL Java_com_qor_vt_mr_vv_hostscout_NetworkInterfaceUtil_enableNativeTracing(JNIEnv* /*env*/,
                                                                                                jclass /*cls*/,
                                                                                                jboolean on)
{
    isTraceEnabled = on == 1 ? 1 : 0;
}

} // extern "C"
