// The local address in a DLPI bind acknowledgement: a pure function on the
// control part of the reply, so that the device walk around it stays thin.
#ifndef HOSTSCOUT_SOLARIS_DLPI_BIND_ACK_H
#define HOSTSCOUT_SOLARIS_DLPI_BIND_ACK_H

// The longest DLSAP address a provider may report, and the bytes of it that
// are the MAC address (for Ethernet the address is the MAC and a 2-byte SAP).
constexpr unsigned DLPI_MAX_DLSAP_LENGTH = 8;
constexpr int DLPI_MAC_LENGTH = 6;

// Copies the first DLPI_MAC_LENGTH bytes of the address that the control
// part `reply` of `length` bytes carries into mac, and answers
// DLPI_MAC_LENGTH.  Answers -1, leaving mac alone, when the reply is not a
// whole bind acknowledgement, reports an address longer than
// DLPI_MAX_DLSAP_LENGTH, or places the address outside what arrived.
int dlpi_bindAckAddress(const char* reply, int length, unsigned char* mac);

#endif
