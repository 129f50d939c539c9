// The emulated DLPI streams behind /dev/<device> (see dlpi_stream.cpp).
#ifndef SUNOS_DLPI_STREAM_H
#define SUNOS_DLPI_STREAM_H

// Opens a stream to the provider of device; a descriptor, or -1 with errno.
int dlpi_stream_open(const char* device);
// Forgets the stream on fd, if fd is one; the caller closes the descriptor.
void dlpi_stream_forget(int fd);

#endif
