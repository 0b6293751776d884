// Output side of route6mon: the batched report to plexd, and the signal
// handlers, which only raise flags for the main loop.
#include "route6mon/route6mon.h"

#include <string.h>

void* msgHandle;
volatile sig_atomic_t sigterm_received;
volatile sig_atomic_t sighup_received;
volatile sig_atomic_t alarm_received;
sigset_t wait_sigmask;

namespace {

// strncpy semantics for a field of the report: the text, NUL-padded; the
// source is read no further than its own array.
template <size_t N, size_t M>
void put_field(char (&field)[N], const char (&text)[M]) {
    static_assert(M < N, "every field keeps a terminating NUL");
    size_t n = strnlen(text, M);
    memcpy(field, text, n);
}

}  // namespace

uint32_t build_route_report(const char (&names)[R6_SLOTS][R6_NAME_LEN],
                            const char (&gateways)[R6_SLOTS][R6_TEXT_LEN],
                            const char (&addresses)[R6_SLOTS][R6_TEXT_LEN],
                            Ipv6RouteReport& out) {
    memset(&out, 0, sizeof out);
    out.hdr.type = MSG_IPV6_ROUTE_EVENT;
    out.hdr.src = EID_ROUTE6MON;
    out.hdr.dst = EID_PLEXD;
    out.hdr.flags = OBX_MSG_FLAG_EVENT;
    unsigned used = 0;
    for (unsigned i = 0; i < R6_SLOTS; ++i) {
        if (names[i][0] == '\0') continue;
        Ipv6RouteEventEntry& e = out.entry[used++];
        put_field(e.ifName, names[i]);
        put_field(e.gateway, gateways[i]);
        put_field(e.address, addresses[i]);
    }
    out.hdr.dataLength = static_cast<uint32_t>(used * sizeof(Ipv6RouteEventEntry));
    return out.hdr.dataLength;
}

void sendIpv6RouteEventMessage(const BusMsgHeader* msg) {
    obxMsg_send(msgHandle, msg);
}

void handleAlarm(int) {
    Ipv6RouteReport report;
    build_route_report(devname, devgateway, devaddress, report);
    slots_clear();
    sendIpv6RouteEventMessage(&report.hdr);
}

void report_if_due() {
    if (!alarm_received) return;
    alarm_received = 0;
    handleAlarm(SIGALRM);
}

void set_disposition(int sig, void (*handler)(int)) {
    // Stays in force after a delivery; SA_RESTART matters only to the
    // shell runner's waitpid, since ppoll is never restarted.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// Each handler sets itself again and raises its flag; nothing else happens
// in signal context.
void sigterm_handler(int) {
    set_disposition(SIGTERM, sigterm_handler);
    sigterm_received = 1;
}

void sighup_handler(int) {
    set_disposition(SIGHUP, sighup_handler);
    sighup_received = 1;
}

void sigalrm_handler(int) {
    alarm_received = 1;
}
