// Data Link Provider Interface primitives (the connectionless subset).
#ifndef SUNOS_SYS_DLPI_H
#define SUNOS_SYS_DLPI_H

#include <stdint.h>

typedef uint32_t t_uscalar_t;
typedef int32_t t_scalar_t;

#define DL_INFO_REQ 0x00
#define DL_BIND_REQ 0x01
#define DL_UNBIND_REQ 0x02
#define DL_INFO_ACK 0x03
#define DL_BIND_ACK 0x04
#define DL_ERROR_ACK 0x05
#define DL_OK_ACK 0x06
#define DL_UNITDATA_REQ 0x07
#define DL_ATTACH_REQ 0x0b
#define DL_DETACH_REQ 0x0c

// Error codes of DL_ERROR_ACK.
#define DL_BADADDR 0x01
#define DL_ACCESS 0x02
#define DL_OUTSTATE 0x03
#define DL_SYSERR 0x04
#define DL_BADPPA 0x08
#define DL_BADPRIM 0x09
#define DL_NOADDR 0x0f

// Service modes.
#define DL_CODLS 0x01
#define DL_CLDLS 0x02
#define DL_ACLDLS 0x04

typedef struct {
    t_uscalar_t dl_primitive;
    t_uscalar_t dl_ppa;
} dl_attach_req_t;

typedef struct {
    t_uscalar_t dl_primitive;
    t_uscalar_t dl_correct_primitive;
} dl_ok_ack_t;

typedef struct {
    t_uscalar_t dl_primitive;
    t_uscalar_t dl_error_primitive;
    t_uscalar_t dl_errno;
    t_uscalar_t dl_unix_errno;
} dl_error_ack_t;

typedef struct {
    t_uscalar_t dl_primitive;
    t_uscalar_t dl_sap;
    t_uscalar_t dl_max_conind;
    uint16_t dl_service_mode;
    uint16_t dl_conn_mgmt;
    t_uscalar_t dl_xidtest_flg;
} dl_bind_req_t;

typedef struct {
    t_uscalar_t dl_primitive;
    t_uscalar_t dl_sap;
    t_uscalar_t dl_addr_length;
    t_uscalar_t dl_addr_offset;
    t_uscalar_t dl_max_conind;
    t_uscalar_t dl_xidtest_flg;
} dl_bind_ack_t;

union DL_primitives {
    t_uscalar_t dl_primitive;
    dl_attach_req_t attach_req;
    dl_ok_ack_t ok_ack;
    dl_error_ack_t error_ack;
    dl_bind_req_t bind_req;
    dl_bind_ack_t bind_ack;
};

#define DL_ATTACH_REQ_SIZE sizeof(dl_attach_req_t)
#define DL_OK_ACK_SIZE sizeof(dl_ok_ack_t)
#define DL_ERROR_ACK_SIZE sizeof(dl_error_ack_t)
#define DL_BIND_REQ_SIZE sizeof(dl_bind_req_t)
#define DL_BIND_ACK_SIZE sizeof(dl_bind_ack_t)

#endif
