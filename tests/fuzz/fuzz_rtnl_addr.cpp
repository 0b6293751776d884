// Fuzzes route6mon's address intake: an RTM_NEWADDR notification is parsed,
// and the address handler stores what it says in the slot table (interface
// names come from the machine's own interfaces, so lo and friends are real).
// Then the report is built from the table, as the alarm would, and every
// entry is checked to be terminated text inside its field.
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "route6mon/route6mon.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

void check_report() {
    Ipv6RouteReport report;
    uint32_t n = build_route_report(devname, devgateway, devaddress, report);
    check(n % sizeof(Ipv6RouteEventEntry) == 0 && n <= sizeof(report.entry));
    check(report.hdr.dataLength == n && report.hdr.type == MSG_IPV6_ROUTE_EVENT);
    for (size_t i = 0; i < n / sizeof(Ipv6RouteEventEntry); ++i) {
        const Ipv6RouteEventEntry& e = report.entry[i];
        check(e.ifName[0] != '\0');
        check(memchr(e.ifName, '\0', sizeof e.ifName) && memchr(e.gateway, '\0', sizeof e.gateway) &&
              memchr(e.address, '\0', sizeof e.address));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The handler re-arms a 2-second alarm on every stored change.
    signal(SIGALRM, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes received: ASan sees any read past them.
    uint8_t* msg = (uint8_t*)malloc(size ? size : 1);
    if (size) memcpy(msg, data, size);

    AddrNotice n = parse_newaddr(msg, size);
    if (n.valid) {
        uint32_t nlmsg_len;
        memcpy(&nlmsg_len, msg, 4);
        check(size >= NL_HDR_LEN + IFADDRMSG_LEN && nlmsg_len <= size &&
              nlmsg_len >= NL_HDR_LEN + IFADDRMSG_LEN);
        check(nl_first_type(msg, size) == R6_RTM_NEWADDR);
    }
    int r = addr_handler(msg, size);
    check(r == -1 || (n.valid && n.has_address && !ipv6_is_link_local(n.address)));
    check_report();
    // The table fills up over many inputs; start afresh now and then, as the
    // report does.
    if (size && msg[size - 1] == 0xff) slots_clear();
    free(msg);
    return 0;
}
