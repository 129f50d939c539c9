// The control part of a bind reply, as getmsg leaves it: the fuzzer's bytes
// are exactly what arrived, so that a read past them is seen.
#include "hostscout/solaris/dlpi_bind_ack.h"

#include <climits>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > INT_MAX) {
        return 0;
    }
    unsigned char mac[DLPI_MAX_DLSAP_LENGTH];
    memset(mac, 0xAA, sizeof mac);
    int n = dlpi_bindAckAddress(reinterpret_cast<const char*>(data), static_cast<int>(size), mac);
    if (n != -1 && n != DLPI_MAC_LENGTH) {
        __builtin_trap();
    }
    return 0;
}
