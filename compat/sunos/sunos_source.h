// Where the emulated Solaris interfaces get their facts.  The live source
// reads the running Linux system; a test installs a scripted source instead.
// The mechanics of each interface (the kstat chain, the psinfo file, the DLPI
// stream) live in the interface's own file and are the same for every source.
#ifndef SUNOS_SOURCE_H
#define SUNOS_SOURCE_H

#include <kstat.h>
#include <procfs.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/processor.h>
#include <sys/types.h>

// Collects the entries of a kstat chain in order; the data are copied.
class KstatBuilder {
  public:
    virtual bool add(const char* module, int instance, const char* name, uchar_t type, const void* data, size_t size,
                     uint_t ndata, bool readFails) = 0;

  protected:
    ~KstatBuilder() = default;
};

// One reply of a DLPI provider to a request.
struct DlpiReply {
    enum Kind {
        Ack,         // DL_OK_ACK for an attach, DL_BIND_ACK for a bind
        ErrorAck,    // DL_ERROR_ACK with dlError
        Interrupted, // the receive of the reply is interrupted by a signal (EINTR)
        Primitive,   // a reply with the bare primitive below, nothing else
    };
    Kind kind;
    uint32_t dlError;
    uint32_t primitive;
    uint32_t addrLength;    // bind acknowledgement: length of the DLSAP address
    unsigned char addr[64]; // and its bytes (only the first 64 are carried)
};

class SunosSource {
  public:
    // The kstat chain, entry by entry; false when the statistics cannot be opened.
    virtual bool kstatChain(KstatBuilder& chain) = 0;
    // A sysconf value that differs from the machine's own; false to use the machine's.
    virtual bool sysconfValue(int name, long* value) = 0;
    // -1 when there is no processor with this id, else its P_ state; info is
    // filled when infoValid is set.
    virtual int processor(processorid_t id, processor_info_t* info, bool* infoValid) = 0;
    // The platform name; false when it is unknown.
    virtual bool platformName(char* buffer, size_t size) = 0;
    // The psinfo record of pid, *length bytes of it (336 for a whole record);
    // 0 on success or an errno value.
    virtual int psinfo(pid_t pid, psinfo_t* info, size_t* length) = 0;
    // Opening the device /dev/<device>: 0 or an errno value.
    virtual int linkOpen(const char* device) = 0;
    virtual DlpiReply linkAttach(const char* device, uint32_t ppa) = 0;
    virtual DlpiReply linkBind(const char* device, uint32_t ppa, uint32_t sap) = 0;

  protected:
    ~SunosSource() = default;
};

// The source in use (the live one unless a test installed another).
SunosSource& sunos_source();
// Installs source (nullptr restores the live one) and returns the previous one.
SunosSource* sunos_set_source(SunosSource* source);
SunosSource& sunos_live_source();

// Plain system calls, for the emulation's own files: open, close and read
// under these names go through the emulation inside the libraries.
int sunos_sys_open(const char* path, int flags);
int sunos_sys_close(int fd);
// Reads a whole small file into buffer (terminated); the length or -1.
long sunos_read_file(const char* path, char* buffer, size_t size);

#endif
