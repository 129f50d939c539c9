// DLPI streams: a descriptor opened on /dev/<device> takes DLPI requests with
// putmsg and hands back the provider's reply with getmsg.  The provider is the
// current source; the stream keeps only what the protocol needs between
// messages (the attached PPA and the one reply waiting to be read).
//
// Streams live in a table keyed by descriptor; putmsg and getmsg on a
// descriptor that is not in it fail with ENOSTR, as on any non-stream. The
// table grows with the streams open at once: the real device has no limit of
// its own beyond the descriptors, so neither has the emulation.
// Like the real device, the table serves many threads at once: one lock
// covers every look-up and change of it, so two opens never take the same
// entry and no message is handled on an entry another thread is reusing.
#include "compat/sunos/dlpi_stream.h"
#include "compat/sunos/sunos_source.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <net/if.h>
#include <stropts.h>
#include <sys/dlpi.h>
#include <sys/eventfd.h>

namespace {

constexpr size_t initialStreams = 64;
constexpr size_t maxReply = sizeof(dl_bind_ack_t) + sizeof DlpiReply::addr;

struct Stream {
    bool inUse;
    int fd;
    char device[IFNAMSIZ];
    bool attached;
    uint32_t ppa;
    bool interrupted; // the next receive is interrupted
    size_t replyLength;
    alignas(4) unsigned char reply[maxReply];
};

// Entries are only looked up, changed or moved under the lock.
Stream* streams = nullptr;
size_t streamCapacity = 0;
std::mutex streamsLock;

Stream* findStream(int fd)
{
    for (size_t i = 0; i < streamCapacity; i++) {
        if (streams[i].inUse && streams[i].fd == fd) {
            return &streams[i];
        }
    }
    return nullptr;
}

// An entry not in use, the table grown when every entry is; null without memory.
Stream* freeStream()
{
    for (size_t i = 0; i < streamCapacity; i++) {
        if (!streams[i].inUse) {
            return &streams[i];
        }
    }
    size_t capacity = streamCapacity == 0 ? initialStreams : streamCapacity * 2;
    auto* grown = static_cast<Stream*>(realloc(streams, capacity * sizeof(Stream)));
    if (grown == nullptr) {
        return nullptr;
    }
    for (size_t i = streamCapacity; i < capacity; i++) {
        grown[i] = Stream{};
    }
    streams = grown;
    Stream* first = &streams[streamCapacity];
    streamCapacity = capacity;
    return first;
}

void putWord(Stream& s, size_t offset, uint32_t value)
{
    memcpy(s.reply + offset, &value, sizeof value);
}

void setErrorAck(Stream& s, uint32_t request, uint32_t dlError)
{
    dl_error_ack_t ack{DL_ERROR_ACK, request, dlError, 0};
    memcpy(s.reply, &ack, sizeof ack);
    s.replyLength = sizeof ack;
}

// Turns the provider's answer into the reply message waiting on the stream.
void setReply(Stream& s, uint32_t request, const DlpiReply& reply, uint32_t sap)
{
    s.interrupted = false;
    switch (reply.kind) {
    case DlpiReply::Interrupted:
        s.interrupted = true;
        s.replyLength = 0;
        return;
    case DlpiReply::ErrorAck:
        setErrorAck(s, request, reply.dlError);
        return;
    case DlpiReply::Primitive:
        putWord(s, 0, reply.primitive);
        s.replyLength = sizeof(uint32_t);
        return;
    case DlpiReply::Ack:
        break;
    }
    if (request == DL_ATTACH_REQ) {
        dl_ok_ack_t ack{DL_OK_ACK, DL_ATTACH_REQ};
        memcpy(s.reply, &ack, sizeof ack);
        s.replyLength = sizeof ack;
        return;
    }
    // The address follows the acknowledgement; its length is the provider's
    // word even where the provider says more than it carries.
    size_t carried = reply.addrLength < sizeof reply.addr ? reply.addrLength : sizeof reply.addr;
    dl_bind_ack_t ack{DL_BIND_ACK, sap, reply.addrLength, sizeof(dl_bind_ack_t), 0, 0};
    memcpy(s.reply, &ack, sizeof ack);
    memcpy(s.reply + sizeof ack, reply.addr, carried);
    s.replyLength = sizeof ack + carried;
}

} // namespace

int dlpi_stream_open(const char* device)
{
    if (strlen(device) >= IFNAMSIZ) {
        errno = ENXIO;
        return -1;
    }
    int error = sunos_source().linkOpen(device);
    if (error != 0) {
        errno = error;
        return -1;
    }
    // Any descriptor will do as the stream's name; an eventfd costs nothing.
    int fd = eventfd(0, EFD_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::lock_guard<std::mutex> guard(streamsLock);
    Stream* s = freeStream();
    if (s == nullptr) {
        sunos_sys_close(fd);
        errno = ENOSR;
        return -1;
    }
    *s = Stream{};
    s->inUse = true;
    s->fd = fd;
    snprintf(s->device, sizeof s->device, "%s", device);
    return fd;
}

void dlpi_stream_forget(int fd)
{
    std::lock_guard<std::mutex> guard(streamsLock);
    Stream* s = findStream(fd);
    if (s != nullptr) {
        s->inUse = false;
    }
}

extern "C" {

int putmsg(int fildes, const struct strbuf* ctlptr, const struct strbuf* dataptr, int flags)
{
    (void)dataptr;
    (void)flags;
    std::lock_guard<std::mutex> guard(streamsLock);
    Stream* s = findStream(fildes);
    if (s == nullptr) {
        errno = ENOSTR;
        return -1;
    }
    if (ctlptr == nullptr || ctlptr->buf == nullptr || ctlptr->len < static_cast<int>(sizeof(uint32_t))) {
        errno = EINVAL;
        return -1;
    }
    auto length = static_cast<size_t>(ctlptr->len);
    uint32_t primitive = 0;
    memcpy(&primitive, ctlptr->buf, sizeof primitive);
    SunosSource& source = sunos_source();
    switch (primitive) {
    case DL_ATTACH_REQ: {
        if (length < sizeof(dl_attach_req_t)) {
            errno = EINVAL;
            return -1;
        }
        dl_attach_req_t req;
        memcpy(&req, ctlptr->buf, sizeof req);
        if (s->attached) {
            setErrorAck(*s, DL_ATTACH_REQ, DL_OUTSTATE);
            return 0;
        }
        DlpiReply reply = source.linkAttach(s->device, req.dl_ppa);
        setReply(*s, DL_ATTACH_REQ, reply, 0);
        if (reply.kind == DlpiReply::Ack) {
            s->attached = true;
            s->ppa = req.dl_ppa;
        }
        return 0;
    }
    case DL_BIND_REQ: {
        if (length < sizeof(dl_bind_req_t)) {
            errno = EINVAL;
            return -1;
        }
        dl_bind_req_t req;
        memcpy(&req, ctlptr->buf, sizeof req);
        if (!s->attached) {
            setErrorAck(*s, DL_BIND_REQ, DL_OUTSTATE);
            return 0;
        }
        setReply(*s, DL_BIND_REQ, source.linkBind(s->device, s->ppa, req.dl_sap), req.dl_sap);
        return 0;
    }
    default:
        setErrorAck(*s, primitive, DL_BADPRIM);
        return 0;
    }
}

int getmsg(int fildes, struct strbuf* ctlptr, struct strbuf* dataptr, int* flagsp)
{
    std::lock_guard<std::mutex> guard(streamsLock);
    Stream* s = findStream(fildes);
    if (s == nullptr) {
        errno = ENOSTR;
        return -1;
    }
    if (s->interrupted) {
        s->interrupted = false;
        errno = EINTR;
        return -1;
    }
    if (s->replyLength == 0) {
        // Nothing was asked, so nothing will come; a real stream would block.
        errno = EAGAIN;
        return -1;
    }
    int more = 0;
    if (ctlptr != nullptr && ctlptr->maxlen >= 0) {
        size_t room = static_cast<size_t>(ctlptr->maxlen);
        size_t n = s->replyLength < room ? s->replyLength : room;
        if (n > 0) {
            memcpy(ctlptr->buf, s->reply, n);
        }
        ctlptr->len = static_cast<int>(n);
        if (n < s->replyLength) {
            more |= MORECTL;
        }
    }
    if (dataptr != nullptr) {
        dataptr->len = -1; // acknowledgements carry no data part
    }
    if (flagsp != nullptr) {
        *flagsp = RS_HIPRI;
    }
    s->replyLength = 0;
    return more;
}

} // extern "C"
