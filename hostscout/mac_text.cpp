// The MAC address text and the tracing switch of NetworkInterfaceUtil.  One
// formatter serves both builds, so an address reads the same on every
// platform, trace lines included.
#include "hostscout/mac_text.h"

#include <cstdio>
#include <cstring>

int isTraceEnabled = 0;

void getMacAddress(char* text, const unsigned char* mac, int length)
{
    if (length > MAC_MAX_BYTES) {
        length = MAC_MAX_BYTES;
    }
    size_t used = 0;
    for (int i = 0; i < length; i++) {
        char part[4];
        int numChars = snprintf(part, sizeof part, i == length - 1 ? "%.2X" : "%.2X-", mac[i]);
        if (isTraceEnabled == 1) {
            printf("%s %s %s %i\n", "NetworkInterfaceUtil", "getMacAddress", "numChars=", numChars);
        }
        memcpy(text + used, part, static_cast<size_t>(numChars));
        used += static_cast<size_t>(numChars);
    }
    text[used] = '\0';
    if (isTraceEnabled == 1) {
        printf("%s %s %s %s\n", "NetworkInterfaceUtil", "getMacAddress", "macAddr=", text);
    }
}
