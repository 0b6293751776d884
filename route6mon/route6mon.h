// route6mon: watches the kernel's IPv6 address and route notifications,
// deletes default routes that the kernel or a router advertisement puts on
// a non-bridge interface, and reports per interface the deleted gateway and
// the last global address to plexd, 2 seconds after the last change.
//
// The parsers and the report builder are pure functions over bytes; the
// handlers, the receive pass and the signal plumbing hold the effects.
#pragma once

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "bus/obx_msg.h"

// ---------------------------------------------------------------------------
// Netlink layout (Linux rtnetlink; every field in host byte order)

inline constexpr size_t NL_HDR_LEN = 16;        // nlmsghdr; body follows
inline constexpr size_t IFADDRMSG_LEN = 8;      // body of RTM_NEWADDR
inline constexpr size_t RTMSG_LEN = 12;         // body of RTM_NEWROUTE
inline constexpr uint16_t R6_NLMSG_ERROR = 2;
inline constexpr uint16_t R6_NLMSG_DONE = 3;
inline constexpr uint16_t R6_RTM_NEWADDR = 20;
inline constexpr uint16_t R6_RTM_GETADDR = 22;
inline constexpr uint16_t R6_RTM_NEWROUTE = 24;
inline constexpr uint16_t R6_RTM_GETROUTE = 26;
inline constexpr uint16_t R6_IFA_ADDRESS = 1;
inline constexpr uint16_t R6_RTA_OIF = 4;
inline constexpr uint16_t R6_RTA_GATEWAY = 5;
inline constexpr uint8_t R6_RTPROT_KERNEL = 2;
inline constexpr uint8_t R6_RTPROT_RA = 9;
inline constexpr uint32_t R6_NL_GROUPS = 0x500;  // RTMGRP_IPV6_IFADDR | RTMGRP_IPV6_ROUTE
inline constexpr size_t R6_RECV_BUF = 1024;
// Receive buffer of a dump. The kernel fills a dump datagram up to the
// larger of about one page (at most 8 KiB) and the largest buffer this
// socket has received into, so a dump read with this buffer is never cut.
inline constexpr size_t R6_DUMP_BUF = 8192;

// ---------------------------------------------------------------------------
// Pure parsing

// The type of the first netlink message of a datagram, or 0 when the
// datagram is shorter than a netlink header.
uint16_t nl_first_type(const uint8_t* data, size_t len);

// What an RTM_NEWADDR message says. `valid` is false unless the datagram
// holds a whole message of that type: at least header and body, and a
// length field that covers both and does not run past the bytes received.
struct AddrNotice {
    bool valid;
    uint8_t flags;        // ifa_flags
    uint32_t index;       // ifa_index
    bool has_address;     // an IFA_ADDRESS of 16 bytes was seen (the last one wins)
    uint8_t address[16];
};
AddrNotice parse_newaddr(const uint8_t* data, size_t len);

// What an RTM_NEWROUTE message says; `valid` as above.
struct RouteNotice {
    bool valid;
    uint8_t dst_len;      // rtm_dst_len: 0 for a default route
    uint8_t protocol;     // rtm_protocol
    bool has_gateway;     // an RTA_GATEWAY of 16 bytes was seen (the last one wins)
    uint8_t gateway[16];
    bool has_oif;         // an RTA_OIF of 4 bytes was seen (the last one wins)
    uint32_t oif;
    bool refused;         // the OIF visitor refused an interface: ignore the message
};
// Called for each RTA_OIF in the order of the message, as it is met; a
// false result marks the notice `refused` and ends the walk at once.
using OifVisitor = bool (*)(uint32_t index, void* ctx);
RouteNotice parse_newroute(const uint8_t* data, size_t len, OifVisitor visit_oif = nullptr,
                           void* ctx = nullptr);

// How the walk of one datagram of a dump reply ended.
enum DumpEnd : uint8_t {
    DUMP_MORE,    // more datagrams follow (or the rest of this one was cut)
    DUMP_DONE,    // NLMSG_DONE: the dump is complete
    DUMP_FAILED,  // NLMSG_ERROR, or NLMSG_DONE carrying an error: incomplete
};
// Hands each message of a dump reply datagram that answers request `seq`
// to `visit` (the message and its nlmsg_len), in order; messages of another
// sequence number are passed over. Each message must lie whole within the
// datagram: the walk ends at the first one shorter than a header or longer
// than what is left (DUMP_MORE), and at NLMSG_DONE or NLMSG_ERROR of the
// request, which are not handed on.
using DumpVisitor = void (*)(const uint8_t* msg, size_t len, void* ctx);
DumpEnd walk_dump(const uint8_t* data, size_t len, uint32_t seq, DumpVisitor visit, void* ctx);

// fe80::/10
bool ipv6_is_link_local(const uint8_t addr[16]);

// True for a default route that the kernel or a router advertisement made.
bool route_is_learned_default(const RouteNotice& r);

// Writes "ip -6 ro del default via <gateway> dev <ifname> 2>/dev/null" into
// `out`, both values shell-quoted (ordinary ones stay unchanged). Returns
// the length, or -1 with an empty `out` when it does not fit.
int format_route_delete(char* out, size_t size, const char* gateway, const char* ifname);

// ---------------------------------------------------------------------------
// Slot table: three parallel arrays, slot 0 to 7; a slot is in use while
// its name is non-empty, and the slots in use always form a prefix.

inline constexpr unsigned R6_SLOTS = 8;
inline constexpr size_t R6_NAME_LEN = 16;   // IFNAMSIZ
inline constexpr size_t R6_TEXT_LEN = 46;   // INET6_ADDRSTRLEN
inline constexpr uint8_t R6_NO_SLOT = 255;

extern char devname[R6_SLOTS][R6_NAME_LEN];
extern char devgateway[R6_SLOTS][R6_TEXT_LEN];
extern char devaddress[R6_SLOTS][R6_TEXT_LEN];

// Slot of `name`, claiming the first free one for a new name; R6_NO_SLOT
// when the name is absent and every slot is taken.
uint8_t finddevname(const char* name);

// Stores `text` as the gateway / address of `name`'s slot. False (nothing
// stored) when the table is full.
bool slot_store_gateway(const char* name, const char* text);
bool slot_store_address(const char* name, const char* text);

// Empties every slot.
void slots_clear();

// ---------------------------------------------------------------------------
// Report

// The whole report as it goes on the bus: header and room for 8 entries.
struct Ipv6RouteReport {
    BusMsgHeader hdr;
    Ipv6RouteEventEntry entry[IPV6_ROUTE_EVENT_MAX_ENTRIES];
};
static_assert(sizeof(Ipv6RouteReport) == 1180, "report is 28 + 8 x 144 bytes");

// Fills `out` (zeroed first) with the report of the given table: one entry
// per slot in use, in slot order, packed. Returns the dataLength.
uint32_t build_route_report(const char (&names)[R6_SLOTS][R6_NAME_LEN],
                            const char (&gateways)[R6_SLOTS][R6_TEXT_LEN],
                            const char (&addresses)[R6_SLOTS][R6_TEXT_LEN],
                            Ipv6RouteReport& out);

// ---------------------------------------------------------------------------
// Daemon

extern void* msgHandle;
extern volatile sig_atomic_t sigterm_received;
extern volatile sig_atomic_t sighup_received;
extern volatile sig_atomic_t alarm_received;

// Signal mask in force while the receive waits (and while a shell command
// runs): the daemon's own signals unblocked. Outside those windows they are
// blocked, so their handlers, which only set flags, never race the loop.
extern sigset_t wait_sigmask;

// Installs `handler` (or SIG_IGN) for `sig`; it stays after a delivery.
void set_disposition(int sig, void (*handler)(int));
void sigterm_handler(int sig);
void sighup_handler(int sig);
void sigalrm_handler(int sig);

// Builds the report from the slot table, sends it and empties the table.
// Runs in the main loop once the alarm has fired.
void handleAlarm(int sig);
void sendIpv6RouteEventMessage(const BusMsgHeader* msg);
// Runs handleAlarm once if the alarm has fired since the last report. Called
// wherever the daemon's signals may have come through: after the wait of the
// receive pass, after a shell command, and by the loop.
void report_if_due();

// Handle one received datagram's first message (`data`, `len` = bytes
// received). Return 0 when something was stored, -1 otherwise.
int addr_handler(const uint8_t* data, size_t len);
int route_handler(const uint8_t* data, size_t len);
// Dispatches a datagram's first message by type.
void handle_datagram(const uint8_t* data, size_t len);

// Opens and binds the rtnetlink socket; returns what socket() gave.
int open_route_socket();
// One receive pass: waits for a datagram or one of the daemon's signals,
// then receives at most one datagram without blocking and handles it. A
// receive that fails with ENOBUFS (the queue overflowed and notifications
// were dropped) leads, once the queue has run empty, to
// recover_after_overflow.
void recv_msg(int sock);

// Asks the kernel on a socket of its own for all its IPv6 routes
// (`request` R6_RTM_GETROUTE) or addresses (R6_RTM_GETADDR) and handles
// each entry as if it had come as a notification. True when the dump ran
// to its end.
bool dump_and_handle(uint16_t request, uint32_t seq);
// Makes good what an overflow dropped: the routes, then the addresses.
void recover_after_overflow();
