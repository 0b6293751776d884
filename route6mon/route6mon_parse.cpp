// Pure parsing of rtnetlink address and route notifications, and the
// command line that deletes a learned default route.
#include "route6mon/route6mon.h"

#include <stdio.h>
#include <string.h>

#include "common/shell_quote.h"

namespace {

uint16_t load16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// The first message of the datagram when it is whole: at least `min_len`
// bytes (header and body), of type `type`, and its length field neither
// shorter than that nor longer than the bytes received. Returns its length
// (0 when it fails a test), so every later read stays inside it.
size_t whole_message(const uint8_t* data, size_t len, uint16_t type, size_t min_len) {
    if (!data || len < min_len) return 0;
    uint32_t nlmsg_len = load32(data);
    if (load16(data + 4) != type) return 0;
    if (nlmsg_len < min_len || nlmsg_len > len) return 0;
    return nlmsg_len;
}

// Steps through the attributes in [data + start, data + end). An attribute
// is handled while at least 4 bytes remain, its rta_len is at least 4 and
// does not exceed what remains; the walk ends at the first one that fails,
// or when `fn` returns false.
template <typename Fn>
void walk_attributes(const uint8_t* data, size_t start, size_t end, Fn&& fn) {
    size_t off = start;
    while (end - off >= 4) {
        size_t rta_len = load16(data + off);
        if (rta_len < 4 || rta_len > end - off) break;
        if (!fn(load16(data + off + 2), data + off + 4, rta_len - 4)) break;
        size_t step = (rta_len + 3) & ~size_t{3};
        if (step >= end - off) break;
        off += step;
    }
}

}  // namespace

uint16_t nl_first_type(const uint8_t* data, size_t len) {
    if (!data || len < NL_HDR_LEN) return 0;
    return load16(data + 4);
}

AddrNotice parse_newaddr(const uint8_t* data, size_t len) {
    AddrNotice n{};
    size_t end = whole_message(data, len, R6_RTM_NEWADDR, NL_HDR_LEN + IFADDRMSG_LEN);
    if (end == 0) return n;
    n.valid = true;
    n.flags = data[NL_HDR_LEN + 2];
    n.index = load32(data + NL_HDR_LEN + 4);
    walk_attributes(data, NL_HDR_LEN + IFADDRMSG_LEN, end,
                    [&](uint16_t type, const uint8_t* value, size_t vlen) {
                        if (type == R6_IFA_ADDRESS && vlen >= 16) {
                            memcpy(n.address, value, 16);
                            n.has_address = true;
                        }
                        return true;
                    });
    return n;
}

RouteNotice parse_newroute(const uint8_t* data, size_t len, OifVisitor visit_oif, void* ctx) {
    RouteNotice n{};
    size_t end = whole_message(data, len, R6_RTM_NEWROUTE, NL_HDR_LEN + RTMSG_LEN);
    if (end == 0) return n;
    n.valid = true;
    n.dst_len = data[NL_HDR_LEN + 1];
    n.protocol = data[NL_HDR_LEN + 5];
    walk_attributes(data, NL_HDR_LEN + RTMSG_LEN, end,
                    [&](uint16_t type, const uint8_t* value, size_t vlen) {
                        if (type == R6_RTA_GATEWAY && vlen >= 16) {
                            memcpy(n.gateway, value, 16);
                            n.has_gateway = true;
                        } else if (type == R6_RTA_OIF && vlen >= 4) {
                            n.oif = load32(value);
                            n.has_oif = true;
                            if (visit_oif && !visit_oif(n.oif, ctx)) {
                                n.refused = true;
                                return false;
                            }
                        }
                        return true;
                    });
    return n;
}

DumpEnd walk_dump(const uint8_t* data, size_t len, uint32_t seq, DumpVisitor visit, void* ctx) {
    if (!data) return DUMP_MORE;
    size_t off = 0;
    while (len - off >= NL_HDR_LEN) {
        const uint8_t* msg = data + off;
        size_t msg_len = load32(msg);
        if (msg_len < NL_HDR_LEN || msg_len > len - off) break;
        if (load32(msg + 8) == seq) {
            uint16_t type = load16(msg + 4);
            if (type == R6_NLMSG_DONE) {
                // The kernel's last word: an int, negative when the dump failed.
                if (msg_len >= NL_HDR_LEN + 4 && static_cast<int32_t>(load32(msg + NL_HDR_LEN)) < 0)
                    return DUMP_FAILED;
                return DUMP_DONE;
            }
            if (type == R6_NLMSG_ERROR) return DUMP_FAILED;
            if (visit) visit(msg, msg_len, ctx);
        }
        size_t step = (msg_len + 3) & ~size_t{3};
        if (step >= len - off) break;
        off += step;
    }
    return DUMP_MORE;
}

bool ipv6_is_link_local(const uint8_t addr[16]) {
    return addr[0] == 0xfe && (addr[1] & 0xc0) == 0x80;
}

bool route_is_learned_default(const RouteNotice& r) {
    return r.valid && !r.refused && r.dst_len == 0 &&
           (r.protocol == R6_RTPROT_KERNEL || r.protocol == R6_RTPROT_RA);
}

int format_route_delete(char* out, size_t size, const char* gateway, const char* ifname) {
    if (!out || size == 0) return -1;
    out[0] = '\0';
    // Room for the worst case of each value: a 45-character address text and
    // a 15-character name made entirely of quotes.
    char gw_q[shell_quoted_size(R6_TEXT_LEN - 1)];
    char if_q[shell_quoted_size(R6_NAME_LEN - 1)];
    if (shell_quote(gw_q, gateway ? gateway : "") < 0) return -1;
    if (shell_quote(if_q, ifname ? ifname : "") < 0) return -1;
    int n = snprintf(out, size, "ip -6 ro del default via %s dev %s 2>/dev/null", gw_q, if_q);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return -1;
    }
    return n;
}
