// The MAC address text of NetworkInterfaceUtil and its tracing switch, shared
// by the Solaris and the Windows node-detection libraries.
#ifndef HOSTSCOUT_MAC_TEXT_H
#define HOSTSCOUT_MAC_TEXT_H

#include <stddef.h>

// The longest address formatted, in bytes: a DLSAP address of the DLPI build,
// and MAX_ADAPTER_ADDRESS_LENGTH of the Windows adapter records.
constexpr int MAC_MAX_BYTES = 8;
// Room for the text of the longest address: 8 pairs, 7 dashes and the NUL.
constexpr size_t MAC_TEXT_SIZE = 3 * static_cast<size_t>(MAC_MAX_BYTES);

// NetworkInterfaceUtil's tracing switch: 1 on, 0 off (at load).  Only
// enableNativeTracing sets it; callers must not overlap calls that read it.
extern int isTraceEnabled;

// The address as text: two upper-case hex digits per byte joined by "-";
// empty for a length of 0 or less.  Only the first MAC_MAX_BYTES bytes are
// formatted, so text needs MAC_TEXT_SIZE bytes at most.
void getMacAddress(char* text, const unsigned char* mac, int length);

#endif
