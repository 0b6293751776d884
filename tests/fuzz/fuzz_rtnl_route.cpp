// Fuzzes route6mon's route intake without running anything: an RTM_NEWROUTE
// notification is parsed, and for a learned default route the deletion
// command is formed as the route handler forms it, with an interface name
// taken from the input (any bytes, shell metacharacters included). The
// command must keep its fixed shape, and the gateway goes into the slot
// table. (The handler itself is not called: it would delete this machine's
// own default route.)
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "route6mon/route6mon.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // Byte 0: length of the interface name (up to 15), taken from the end.
    size_t name_len = data[0] % R6_NAME_LEN;
    ++data;
    --size;
    char name[R6_NAME_LEN] = {};
    if (name_len > size) name_len = size;
    memcpy(name, data + size - name_len, name_len);
    size -= name_len;

    uint8_t* msg = (uint8_t*)malloc(size ? size : 1);
    if (size) memcpy(msg, data, size);

    RouteNotice n = parse_newroute(msg, size);
    if (n.valid) {
        uint32_t nlmsg_len;
        memcpy(&nlmsg_len, msg, 4);
        check(nlmsg_len <= size && nlmsg_len >= NL_HDR_LEN + RTMSG_LEN);
    }
    if (route_is_learned_default(n) && n.has_gateway) {
        check(n.valid && n.dst_len == 0);
        char gateway[R6_TEXT_LEN] = {};
        check(inet_ntop(AF_INET6, n.gateway, gateway, sizeof gateway) != nullptr);
        char cmd[1024];
        int len = format_route_delete(cmd, sizeof cmd, gateway, name);
        check(len > 0 && (size_t)len == strlen(cmd));
        std::string_view c(cmd, (size_t)len);
        check(c.starts_with("ip -6 ro del default via ") && c.ends_with(" 2>/dev/null"));
        // A name that is not plain text must come out quoted: no command
        // separator may stand outside quotes.
        bool quoted = false;
        for (size_t i = 0; i < c.size(); ++i) {
            char ch = c[i];
            if (ch == '\'') {
                quoted = !quoted;
            } else if (!quoted && ch == '\\') {
                ++i;  // an escaped character outside quotes is inert
            } else if (!quoted) {
                check(ch != ';' && ch != '|' && ch != '&' && ch != '`' && ch != '$' && ch != '\n' &&
                      ch != '(' && ch != '<');
            }
        }
        check(!quoted);
        if (name[0] && !slot_store_gateway(name, gateway)) slots_clear();
    }
    free(msg);
    return 0;
}
