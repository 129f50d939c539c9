#include "hostscout/solaris/dlpi_bind_ack.h"

#include <cstring>
#include <sys/dlpi.h>

int dlpi_bindAckAddress(const char* reply, int length, unsigned char* mac)
{
    // A reply shorter than a bind acknowledgement has no address fields; the
    // bytes past it are left over from an earlier message.
    dl_bind_ack_t ack;
    if (length < static_cast<int>(sizeof ack)) {
        return -1;
    }
    memcpy(&ack, reply, sizeof ack);
    if (ack.dl_primitive != DL_BIND_ACK || ack.dl_addr_length > DLPI_MAX_DLSAP_LENGTH) {
        return -1;
    }
    // The address must lie inside what arrived, wherever the provider says it is.
    if (ack.dl_addr_offset > static_cast<t_uscalar_t>(length) ||
        static_cast<t_uscalar_t>(length) - ack.dl_addr_offset < DLPI_MAC_LENGTH) {
        return -1;
    }
    memcpy(mac, reply + ack.dl_addr_offset, DLPI_MAC_LENGTH);
    return DLPI_MAC_LENGTH;
}
