// The Solaris node-detection library: processors, memory and process sizes,
// and the MAC addresses of network devices over DLPI.
#ifndef HOSTSCOUT_SOLARIS_HOSTSCOUT_H
#define HOSTSCOUT_SOLARIS_HOSTSCOUT_H

#include "hostscout/mac_text.h" // the MAC address text and the tracing switch

// The platform speed factor for a lower-cased platform name; 0.0 for none.
float platformSpeedFactor(const char* platform);

extern "C" {
// Translates the NUL-terminated ISO 8859-1 text at source into EBCDIC 1047 at
// target, terminating NUL included; returns target.
__attribute__((visibility("default"))) char* doAtoE(const char* source, char* target);
}

#endif
