/*
 * Management-bus client interface: the message header, the entity ids and
 * message types the daemons use, and the client calls (C linkage).
 *
 * Every 32-bit word is in host byte order; on the router (big-endian MIPS)
 * that is big-endian.
 */
#ifndef OBX_MSG_H
#define OBX_MSG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BusMsgHeader {
    uint32_t type;        /* message type code */
    uint32_t src;         /* sender entity id */
    uint32_t dst;         /* destination entity id */
    uint32_t flags;       /* bit 31: one-way event; all other bits 0 */
    uint32_t reserved[2]; /* left zero by every sender */
    uint32_t dataLength;  /* payload bytes behind the header */
} BusMsgHeader;

#ifdef __cplusplus
static_assert(sizeof(BusMsgHeader) == 28, "BusMsgHeader must be 28 bytes");
#else
_Static_assert(sizeof(BusMsgHeader) == 28, "BusMsgHeader must be 28 bytes");
#endif

/* Entity ids. */
#define EID_PLEXD 21u
#define EID_HOTPLUG 51u
#define EID_ROUTE6MON 102u

/* Header flag of a one-way event. */
#define OBX_MSG_FLAG_EVENT 0x80000000u

/* Message types. */
#define MSG_STORAGE_DISK_ADDED 0x01000310u
#define MSG_STORAGE_DISK_REMOVED 0x01000311u
#define MSG_STORAGE_PART_MOUNTED 0x01000312u
#define MSG_STORAGE_PART_UNMOUNTED 0x01000313u
#define MSG_IPV6_ROUTE_EVENT 0x10002801u

/* Payload of the four storage messages (8 bytes). */
typedef struct StorageEventPayload {
    int32_t disk;      /* USB port: first number of /mnt/usb<disk>_<partition> */
    int32_t partition; /* second number of the mount path; 0 in disk messages */
} StorageEventPayload;

/* One entry of the IPv6 route report (144 bytes); up to 8 per message. */
#define IPV6_ROUTE_EVENT_FIELD 48
#define IPV6_ROUTE_EVENT_MAX_ENTRIES 8
typedef struct Ipv6RouteEventEntry {
    char ifName[IPV6_ROUTE_EVENT_FIELD];
    char gateway[IPV6_ROUTE_EVENT_FIELD];
    char address[IPV6_ROUTE_EVENT_FIELD];
} Ipv6RouteEventEntry;

#ifdef __cplusplus
static_assert(sizeof(StorageEventPayload) == 8, "storage payload is 8 bytes");
static_assert(sizeof(Ipv6RouteEventEntry) == 144, "route entry is 144 bytes");
#else
_Static_assert(sizeof(StorageEventPayload) == 8, "storage payload is 8 bytes");
_Static_assert(sizeof(Ipv6RouteEventEntry) == 144, "route entry is 144 bytes");
#endif

/* Path of the bus socket (Unix domain, SOCK_SEQPACKET, one record per message). */
#define OBX_MSG_SOCKET_PATH "/var/run/obxmsg.sock"

/* Connects entity `eid` to the bus and stores an opaque handle in *handle.
 * Returns 0 on success, non-zero when the bus cannot be reached. */
int obxMsg_init(uint32_t eid, void **handle);

/* Sends one complete message: the header and its dataLength payload bytes.
 * Returns 0 on success, non-zero on failure. The caller keeps the message. */
int obxMsg_send(void *handle, const BusMsgHeader *msg);

/* Closes the handle and sets *handle to 0. */
void obxMsg_cleanup(void **handle);

/* Allocates `size` bytes; flags 1 asks for zero-filled memory. */
void *obxMem_alloc(uint32_t size, uint32_t flags);
void obxMem_free(void *p);

/* Runs `cmd` with /bin/sh -c and waits for it. `label` names the caller.
 * Returns the raw wait status, or -1 when the shell cannot be started. */
int rut_doSystemAction(const char *label, const char *cmd);

#ifdef __cplusplus
}
#endif

#endif /* OBX_MSG_H */
