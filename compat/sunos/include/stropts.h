// STREAMS messages: putmsg and getmsg with their control and data parts.
#ifndef SUNOS_STROPTS_H
#define SUNOS_STROPTS_H

#ifdef __cplusplus
extern "C" {
#endif

struct strbuf {
    int maxlen; // size of buf
    int len;    // length of the part; -1 when the message had none
    char* buf;
};

#define RS_HIPRI 0x01
#define MSG_HIPRI 0x01
#define MSG_ANY 0x02
#define MSG_BAND 0x04

#define MORECTL 1
#define MOREDATA 2

int putmsg(int fildes, const struct strbuf* ctlptr, const struct strbuf* dataptr, int flags);
int getmsg(int fildes, struct strbuf* ctlptr, struct strbuf* dataptr, int* flagsp);

#ifdef __cplusplus
}
#endif

#endif
