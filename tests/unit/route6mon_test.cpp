// route6mon: parsing of rtnetlink notifications, the slot table, the
// deletion command and the report layout.
#include "route6mon/route6mon.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Builds one netlink message in host byte order, as the kernel sends it.
struct Msg {
    std::vector<uint8_t> b;

    Msg(uint16_t type, size_t body_len) : b(NL_HDR_LEN + body_len, 0) { put16(4, type); fix_len(); }

    void put16(size_t off, uint16_t v) { std::memcpy(&b[off], &v, 2); }
    void put32(size_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); }
    void fix_len() { put32(0, static_cast<uint32_t>(b.size())); }

    Msg& attr(uint16_t type, const void* value, size_t len) {
        size_t off = b.size();
        b.resize(off + ((4 + len + 3) & ~size_t{3}), 0);
        put16(off, static_cast<uint16_t>(4 + len));
        put16(off + 2, type);
        std::memcpy(&b[off + 4], value, len);
        fix_len();
        return *this;
    }
    Msg& addr_attr(uint16_t type, const char* text) {
        uint8_t a[16];
        EXPECT_EQ(inet_pton(AF_INET6, text, a), 1) << text;
        return attr(type, a, 16);
    }
    Msg& u32_attr(uint16_t type, uint32_t v) { return attr(type, &v, 4); }
};

Msg newaddr(uint8_t flags, uint32_t index) {
    Msg m(R6_RTM_NEWADDR, IFADDRMSG_LEN);
    m.b[NL_HDR_LEN + 2] = flags;
    m.put32(NL_HDR_LEN + 4, index);
    return m;
}

Msg newroute(uint8_t dst_len, uint8_t protocol) {
    Msg m(R6_RTM_NEWROUTE, RTMSG_LEN);
    m.b[NL_HDR_LEN + 1] = dst_len;
    m.b[NL_HDR_LEN + 5] = protocol;
    return m;
}

std::string text_of(const uint8_t a[16]) {
    char t[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, a, t, sizeof t) ? t : "?";
}

TEST(Route6monParse, AddressMessageGivesFlagsIndexAndLastAddress) {
    Msg m = newaddr(0x80, 7);
    m.addr_attr(R6_IFA_ADDRESS, "2001:db8::1").u32_attr(3, 99).addr_attr(R6_IFA_ADDRESS, "2001:db8::2");
    AddrNotice n = parse_newaddr(m.b.data(), m.b.size());
    ASSERT_TRUE(n.valid);
    EXPECT_EQ(n.flags, 0x80);
    EXPECT_EQ(n.index, 7u);
    ASSERT_TRUE(n.has_address);
    EXPECT_EQ(text_of(n.address), "2001:db8::2");

    AddrNotice none = parse_newaddr(newaddr(0, 7).b.data(), newaddr(0, 7).b.size());
    EXPECT_TRUE(none.valid);
    EXPECT_FALSE(none.has_address);
}

TEST(Route6monParse, RouteMessageGivesDefaultProtocolGatewayAndInterface) {
    Msg m = newroute(0, R6_RTPROT_RA);
    m.u32_attr(15, 254).addr_attr(R6_RTA_GATEWAY, "fe80::1").u32_attr(R6_RTA_OIF, 3);
    RouteNotice n = parse_newroute(m.b.data(), m.b.size());
    ASSERT_TRUE(n.valid);
    EXPECT_EQ(n.dst_len, 0);
    EXPECT_EQ(n.protocol, R6_RTPROT_RA);
    ASSERT_TRUE(n.has_gateway);
    EXPECT_EQ(text_of(n.gateway), "fe80::1");
    ASSERT_TRUE(n.has_oif);
    EXPECT_EQ(n.oif, 3u);
    EXPECT_TRUE(route_is_learned_default(n));

    // Only kernel (2) and router-advertisement (9) default routes are ours.
    for (uint8_t proto : {1, 3, 4, 16}) {
        Msg o = newroute(0, proto);
        EXPECT_FALSE(route_is_learned_default(parse_newroute(o.b.data(), o.b.size()))) << int(proto);
    }
    Msg k = newroute(0, R6_RTPROT_KERNEL);
    EXPECT_TRUE(route_is_learned_default(parse_newroute(k.b.data(), k.b.size())));
    Msg prefix = newroute(64, R6_RTPROT_RA);
    EXPECT_FALSE(route_is_learned_default(parse_newroute(prefix.b.data(), prefix.b.size())));
}

// Outgoing interfaces are looked at one by one as the walk meets them: the
// first one refused (a bridge) ends the walk and the message is ignored.
TEST(Route6monParse, InterfacesVisitedInOrderARefusalIgnoresTheMessage) {
    struct Ctx {
        std::vector<uint32_t> seen;
        uint32_t refuse;
    };
    OifVisitor visit = [](uint32_t index, void* c) {
        auto* ctx = static_cast<Ctx*>(c);
        ctx->seen.push_back(index);
        return index != ctx->refuse;
    };
    Msg m = newroute(0, R6_RTPROT_RA);
    m.u32_attr(R6_RTA_OIF, 7).u32_attr(R6_RTA_OIF, 3).addr_attr(R6_RTA_GATEWAY, "fe80::1");

    Ctx first{{}, 7};
    RouteNotice n = parse_newroute(m.b.data(), m.b.size(), visit, &first);
    EXPECT_TRUE(n.refused);
    EXPECT_FALSE(route_is_learned_default(n));
    EXPECT_EQ(first.seen, std::vector<uint32_t>{7});
    EXPECT_FALSE(n.has_gateway);  // the walk ended at the refusal

    Ctx second{{}, 3};
    n = parse_newroute(m.b.data(), m.b.size(), visit, &second);
    EXPECT_TRUE(n.refused);
    EXPECT_EQ(second.seen, (std::vector<uint32_t>{7, 3}));

    Ctx none{{}, 99};
    n = parse_newroute(m.b.data(), m.b.size(), visit, &none);
    EXPECT_FALSE(n.refused);
    EXPECT_TRUE(route_is_learned_default(n));
    EXPECT_EQ(n.oif, 3u);
    EXPECT_TRUE(n.has_gateway);
}

TEST(Route6monParse, ShortTruncatedOrMistypedMessagesAreRejected) {
    Msg m = newaddr(0, 1);
    m.addr_attr(R6_IFA_ADDRESS, "2001:db8::1");
    // Length field beyond the bytes received: a datagram cut short.
    EXPECT_FALSE(parse_newaddr(m.b.data(), m.b.size() - 1).valid);
    // Fewer bytes than header and body.
    EXPECT_FALSE(parse_newaddr(m.b.data(), NL_HDR_LEN + 7).valid);
    EXPECT_FALSE(parse_newaddr(nullptr, 0).valid);
    // Length field shorter than header and body.
    Msg shortlen = m;
    shortlen.put32(0, NL_HDR_LEN + 4);
    EXPECT_FALSE(parse_newaddr(shortlen.b.data(), shortlen.b.size()).valid);
    // Wrong type for the parser, and deletions.
    EXPECT_FALSE(parse_newroute(m.b.data(), m.b.size()).valid);
    Msg del = m;
    del.put16(4, 21);
    EXPECT_FALSE(parse_newaddr(del.b.data(), del.b.size()).valid);

    Msg r = newroute(0, R6_RTPROT_RA);
    EXPECT_FALSE(parse_newroute(r.b.data(), NL_HDR_LEN + RTMSG_LEN - 1).valid);
    EXPECT_EQ(nl_first_type(r.b.data(), NL_HDR_LEN - 1), 0);
    EXPECT_EQ(nl_first_type(r.b.data(), NL_HDR_LEN), R6_RTM_NEWROUTE);
}

TEST(Route6monParse, AttributeWalkStaysInsideTheMessage) {
    // An attribute claiming more than remains ends the walk before it.
    Msg over = newaddr(0, 1);
    over.addr_attr(R6_IFA_ADDRESS, "2001:db8::1").addr_attr(R6_IFA_ADDRESS, "2001:db8::2");
    over.put16(NL_HDR_LEN + IFADDRMSG_LEN + 20, 200);
    AddrNotice n = parse_newaddr(over.b.data(), over.b.size());
    ASSERT_TRUE(n.has_address);
    EXPECT_EQ(text_of(n.address), "2001:db8::1");

    // rta_len below 4 ends the walk (no endless loop).
    Msg zero = newaddr(0, 1);
    uint8_t pad[16] = {};
    zero.attr(9, pad, 0).addr_attr(R6_IFA_ADDRESS, "2001:db8::1");
    zero.put16(NL_HDR_LEN + IFADDRMSG_LEN, 0);
    EXPECT_FALSE(parse_newaddr(zero.b.data(), zero.b.size()).has_address);

    // Attributes behind nlmsg_len (a second message in the datagram) are not
    // read: the length field says where the first message ends.
    Msg first = newaddr(0, 1);
    first.addr_attr(R6_IFA_ADDRESS, "2001:db8::1");
    size_t first_len = first.b.size();
    first.addr_attr(R6_IFA_ADDRESS, "2001:db8::9");
    first.put32(0, static_cast<uint32_t>(first_len));
    n = parse_newaddr(first.b.data(), first.b.size());
    EXPECT_EQ(text_of(n.address), "2001:db8::1");

    // A value too short for its type is passed over, not read past its end.
    Msg shortval = newroute(0, R6_RTPROT_RA);
    uint8_t half[8] = {0xfe, 0x80};
    uint16_t two = 2;
    shortval.attr(R6_RTA_GATEWAY, half, 8).attr(R6_RTA_OIF, &two, 2);
    RouteNotice r = parse_newroute(shortval.b.data(), shortval.b.size());
    EXPECT_FALSE(r.has_gateway);
    EXPECT_FALSE(r.has_oif);

    // An odd-length attribute is padded to 4 and the next one still found.
    Msg odd = newroute(0, R6_RTPROT_RA);
    uint8_t three[3] = {1, 2, 3};
    odd.attr(20, three, 3).u32_attr(R6_RTA_OIF, 5);
    r = parse_newroute(odd.b.data(), odd.b.size());
    EXPECT_TRUE(r.has_oif);
    EXPECT_EQ(r.oif, 5u);
}

// A message that fills the 1024-byte receive buffer to its last byte and
// ends in an address attribute: read when its length is exactly what
// remains, passed over when it claims one byte more.
TEST(Route6monParse, LastAttributeOfAFullBufferIsBoundByItsEnd) {
    for (bool route : {false, true}) {
        Msg m = route ? newroute(0, R6_RTPROT_RA) : newaddr(0, 1);
        std::vector<uint8_t> filler(R6_RECV_BUF - 20 - m.b.size() - 4, 0);
        m.attr(99, filler.data(), filler.size());
        m.addr_attr(route ? R6_RTA_GATEWAY : R6_IFA_ADDRESS, "2001:db8::1");
        ASSERT_EQ(m.b.size(), R6_RECV_BUF);
        // The bytes as received, in a buffer that ends where they end.
        std::unique_ptr<uint8_t[]> buf(new uint8_t[R6_RECV_BUF]);
        auto seen = [&](uint16_t last_len) {
            std::memcpy(buf.get(), m.b.data(), R6_RECV_BUF);
            std::memcpy(buf.get() + R6_RECV_BUF - 20, &last_len, 2);
            if (route) return parse_newroute(buf.get(), R6_RECV_BUF).has_gateway;
            return parse_newaddr(buf.get(), R6_RECV_BUF).has_address;
        };
        EXPECT_TRUE(seen(20)) << (route ? "route" : "address");
        EXPECT_FALSE(seen(21)) << (route ? "route" : "address");
    }
}

TEST(Route6monParse, LinkLocalIsFe80Slash10) {
    auto ll = [](const char* t) {
        uint8_t a[16];
        inet_pton(AF_INET6, t, a);
        return ipv6_is_link_local(a);
    };
    EXPECT_TRUE(ll("fe80::1"));
    EXPECT_TRUE(ll("febf:ffff::1"));
    EXPECT_FALSE(ll("fec0::1"));
    EXPECT_FALSE(ll("fe7f::1"));
    EXPECT_FALSE(ll("2001:db8::1"));
    EXPECT_FALSE(ll("::"));
}

TEST(Route6monCommand, OrdinaryValuesGiveTheExactCommandHostileNamesAreQuoted) {
    char cmd[1024];
    int n = format_route_delete(cmd, sizeof cmd, "fe80::1", "eth0.2");
    EXPECT_STREQ(cmd, "ip -6 ro del default via fe80::1 dev eth0.2 2>/dev/null");
    EXPECT_EQ(n, static_cast<int>(std::strlen(cmd)));

    format_route_delete(cmd, sizeof cmd, "fe80::1", "a;reboot");
    EXPECT_STREQ(cmd, "ip -6 ro del default via fe80::1 dev 'a;reboot' 2>/dev/null");
    format_route_delete(cmd, sizeof cmd, "fe80::1", "$(x)'y");
    EXPECT_STREQ(cmd, "ip -6 ro del default via fe80::1 dev '$(x)'\\''y' 2>/dev/null");

    // The longest values fit the 1024-byte buffer; a small one is refused
    // whole rather than cut.
    const char* gw = "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255";
    ASSERT_EQ(std::strlen(gw), 45u);
    EXPECT_GT(format_route_delete(cmd, sizeof cmd, gw, "'''''''''''''''"), 0);
    char tiny[40];
    EXPECT_EQ(format_route_delete(tiny, sizeof tiny, "fe80::1", "eth0"), -1);
    EXPECT_STREQ(tiny, "");
}

class Route6monSlots : public ::testing::Test {
protected:
    void SetUp() override { slots_clear(); }
    void TearDown() override { slots_clear(); }
};

TEST_F(Route6monSlots, NamesClaimSlotsInOrderAndKeepThem) {
    EXPECT_EQ(finddevname("eth0"), 0);
    EXPECT_EQ(finddevname("eth1"), 1);
    EXPECT_EQ(finddevname("eth0"), 0);
    EXPECT_EQ(finddevname("eth"), 2);  // a prefix is another name
    EXPECT_EQ(finddevname(""), R6_NO_SLOT);
    for (int i = 3; i < 8; ++i) EXPECT_EQ(finddevname(("ppp" + std::to_string(i)).c_str()), i);
    EXPECT_EQ(finddevname("ninth"), R6_NO_SLOT);
    EXPECT_EQ(finddevname("ppp7"), 7);
    EXPECT_STREQ(devname[2], "eth");
}

TEST_F(Route6monSlots, AddressAndGatewayShareTheSlotLastValueWins) {
    EXPECT_TRUE(slot_store_address("eth0.2", "2001:db8::1"));
    EXPECT_TRUE(slot_store_gateway("eth0.2", "fe80::1"));
    EXPECT_TRUE(slot_store_address("eth0.2", "2001:db8::22"));
    EXPECT_STREQ(devname[0], "eth0.2");
    EXPECT_STREQ(devaddress[0], "2001:db8::22");
    EXPECT_STREQ(devgateway[0], "fe80::1");
    EXPECT_EQ(devname[1][0], '\0');

    for (int i = 1; i < 8; ++i) ASSERT_TRUE(slot_store_address(("if" + std::to_string(i)).c_str(), "2001:db8::5"));
    EXPECT_FALSE(slot_store_gateway("ninth", "fe80::2"));
    EXPECT_TRUE(slot_store_gateway("if7", "fe80::3"));
    EXPECT_STREQ(devgateway[7], "fe80::3");
}

// Names that share a prefix, either way round, are separate interfaces,
// each with its own gateway and address.
TEST_F(Route6monSlots, NamesSharingAPrefixKeepTheirOwnEntries) {
    const char* names[] = {"eth0", "eth0.2", "wl0.1", "wl0", "veth1", "veth10"};
    for (int i = 0; i < 6; ++i) {
        std::string n = std::to_string(i);
        ASSERT_TRUE(slot_store_gateway(names[i], ("fe80::" + n).c_str())) << names[i];
        ASSERT_TRUE(slot_store_address(names[i], ("2001:db8::" + n).c_str())) << names[i];
    }
    for (int i = 5; i >= 0; --i)
        ASSERT_TRUE(slot_store_address(names[i], ("2001:db8:1::" + std::to_string(i)).c_str()));

    Ipv6RouteReport r;
    ASSERT_EQ(build_route_report(devname, devgateway, devaddress, r), 6u * 144u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(r.entry[i].ifName, names[i]);
        EXPECT_EQ(std::string(r.entry[i].gateway), "fe80::" + std::to_string(i)) << names[i];
        EXPECT_EQ(std::string(r.entry[i].address), "2001:db8:1::" + std::to_string(i)) << names[i];
    }
}

TEST(Route6monReport, HeaderAndEntriesLaidOutByteForByte) {
    char names[R6_SLOTS][R6_NAME_LEN] = {"eth0", "eth0.2", "ppp0"};
    char gws[R6_SLOTS][R6_TEXT_LEN] = {"", "fe80::1", ""};
    char addrs[R6_SLOTS][R6_TEXT_LEN] = {"2001:db8::1", "", "2001:db8:1::1"};
    Ipv6RouteReport r;
    std::memset(&r, 0xAA, sizeof r);
    EXPECT_EQ(build_route_report(names, gws, addrs, r), 432u);

    const uint8_t* b = reinterpret_cast<const uint8_t*>(&r);
    auto word = [&](size_t off) {
        uint32_t v;
        std::memcpy(&v, b + off, 4);
        return v;
    };
    EXPECT_EQ(word(0), 0x10002801u);
    EXPECT_EQ(word(4), 102u);
    EXPECT_EQ(word(8), 21u);
    EXPECT_EQ(word(12), 0x80000000u);
    EXPECT_EQ(word(16), 0u);
    EXPECT_EQ(word(20), 0u);
    EXPECT_EQ(word(24), 432u);

    auto field = [&](size_t entry, size_t off) {
        const char* f = reinterpret_cast<const char*>(b + 28 + 144 * entry + off);
        return std::string(f, strnlen(f, 48));
    };
    EXPECT_EQ(field(0, 0), "eth0");
    EXPECT_EQ(field(0, 48), "");
    EXPECT_EQ(field(0, 96), "2001:db8::1");
    EXPECT_EQ(field(1, 0), "eth0.2");
    EXPECT_EQ(field(1, 48), "fe80::1");
    EXPECT_EQ(field(1, 96), "");
    EXPECT_EQ(field(2, 0), "ppp0");
    EXPECT_EQ(field(2, 96), "2001:db8:1::1");
    // Everything but the texts is zero: padding, empty fields, unused entries.
    size_t text_bytes = 4 + 11 + 6 + 7 + 4 + 13;
    size_t nonzero = 0;
    for (size_t i = 28; i < sizeof r; ++i) nonzero += b[i] != 0;
    EXPECT_EQ(nonzero, text_bytes);
}

TEST(Route6monReport, EmptyTableGivesAnEmptyReportAndFullFieldsKeepTheirNul) {
    char names[R6_SLOTS][R6_NAME_LEN] = {};
    char gws[R6_SLOTS][R6_TEXT_LEN] = {};
    char addrs[R6_SLOTS][R6_TEXT_LEN] = {};
    Ipv6RouteReport r;
    EXPECT_EQ(build_route_report(names, gws, addrs, r), 0u);
    EXPECT_EQ(r.hdr.type, MSG_IPV6_ROUTE_EVENT);

    // Full-width texts in every slot, and a free slot in the middle is
    // skipped so the entries stay packed.
    for (unsigned i = 0; i < R6_SLOTS; ++i) {
        std::memset(names[i], 'n', R6_NAME_LEN - 1);
        std::memset(gws[i], 'g', R6_TEXT_LEN - 1);
        std::memset(addrs[i], 'a', R6_TEXT_LEN - 1);
    }
    names[3][0] = '\0';
    EXPECT_EQ(build_route_report(names, gws, addrs, r), 7u * 144u);
    for (unsigned i = 0; i < 7; ++i) {
        EXPECT_EQ(strnlen(r.entry[i].ifName, 48), 15u);
        EXPECT_EQ(strnlen(r.entry[i].gateway, 48), 45u);
        EXPECT_EQ(strnlen(r.entry[i].address, 48), 45u);
    }
    EXPECT_EQ(r.entry[7].ifName[0], '\0');
}

// The handlers against the loopback interface, which every network
// namespace has. No route message here reaches the deletion command.
class Route6monHandlers : public Route6monSlots {
protected:
    void SetUp() override {
        Route6monSlots::SetUp();
        old_ = signal(SIGALRM, SIG_IGN);  // the handlers arm alarm(2)
        lo_ = if_nametoindex("lo");
        if (lo_ == 0) GTEST_SKIP() << "no loopback interface";
    }
    void TearDown() override {
        alarm(0);
        signal(SIGALRM, old_);
        Route6monSlots::TearDown();
    }
    uint32_t lo_ = 0;
    sighandler_t old_ = SIG_DFL;
};

TEST_F(Route6monHandlers, GlobalAddressIsStoredLinkLocalAndUnnamedAreNot) {
    Msg ll = newaddr(0x80, lo_);
    ll.addr_attr(R6_IFA_ADDRESS, "fe80::1");
    EXPECT_EQ(addr_handler(ll.b.data(), ll.b.size()), -1);
    Msg none = newaddr(0, lo_);
    EXPECT_EQ(addr_handler(none.b.data(), none.b.size()), -1);
    Msg noname = newaddr(0, 0x7ffffff0);
    noname.addr_attr(R6_IFA_ADDRESS, "2001:db8::1");
    EXPECT_EQ(addr_handler(noname.b.data(), noname.b.size()), -1);
    EXPECT_EQ(devname[0][0], '\0');

    Msg g = newaddr(0x80, lo_);
    g.addr_attr(R6_IFA_ADDRESS, "2001:db8::1");
    EXPECT_EQ(addr_handler(g.b.data(), g.b.size()), 0);
    EXPECT_STREQ(devname[0], "lo");
    EXPECT_STREQ(devaddress[0], "2001:db8::1");
    EXPECT_GT(alarm(0), 0u);  // armed
}

TEST_F(Route6monHandlers, OnlyTheFirstMessageOfADatagramCounts) {
    Msg a = newaddr(0, lo_);
    a.addr_attr(R6_IFA_ADDRESS, "2001:db8::7");
    Msg r = newroute(0, 3);
    std::vector<uint8_t> d = r.b;
    d.insert(d.end(), a.b.begin(), a.b.end());
    handle_datagram(d.data(), d.size());
    EXPECT_EQ(devname[0][0], '\0');

    d = a.b;
    Msg a2 = newaddr(0, lo_);
    a2.addr_attr(R6_IFA_ADDRESS, "2001:db8::8");
    d.insert(d.end(), a2.b.begin(), a2.b.end());
    handle_datagram(d.data(), d.size());
    EXPECT_STREQ(devaddress[0], "2001:db8::7");

    // Deletions and a cut datagram change nothing.
    slots_clear();
    Msg del = a;
    del.put16(4, 21);
    handle_datagram(del.b.data(), del.b.size());
    handle_datagram(a.b.data(), a.b.size() - 4);
    EXPECT_EQ(devname[0][0], '\0');
}

TEST_F(Route6monHandlers, RoutesThatAreNotLearnedDefaultsStoreNothing) {
    const uint8_t protos[] = {3, 4, 9};
    const uint8_t dst[] = {0, 0, 64};
    for (int i = 0; i < 3; ++i) {
        Msg m = newroute(dst[i], protos[i]);
        m.addr_attr(R6_RTA_GATEWAY, "fe80::1").u32_attr(R6_RTA_OIF, lo_);
        EXPECT_EQ(route_handler(m.b.data(), m.b.size()), -1);
    }
    Msg nogw = newroute(0, R6_RTPROT_RA);
    nogw.u32_attr(R6_RTA_OIF, lo_);
    EXPECT_EQ(route_handler(nogw.b.data(), nogw.b.size()), -1);
    Msg nooif = newroute(0, R6_RTPROT_RA);
    nooif.addr_attr(R6_RTA_GATEWAY, "fe80::1");
    EXPECT_EQ(route_handler(nooif.b.data(), nooif.b.size()), -1);
    EXPECT_EQ(devname[0][0], '\0');
}

// A dump reply packs many messages into one datagram: each whole message of
// the request is handed on in order, other requests' messages are passed
// over, and the walk ends at NLMSG_DONE or at a message that does not fit.
TEST(Route6monDump, WalkHandsOnEachWholeMessageUpToDoneOrACut) {
    struct Seen {
        std::vector<std::pair<uint16_t, size_t>> msgs;  // type, length
    };
    auto visit = [](const uint8_t* msg, size_t len, void* ctx) {
        uint16_t type;
        std::memcpy(&type, msg + 4, 2);
        static_cast<Seen*>(ctx)->msgs.push_back({type, len});
    };
    auto with_seq = [](Msg m, uint32_t seq) {
        m.put32(8, seq);
        return m;
    };
    Msg route = with_seq(newroute(0, R6_RTPROT_RA), 7);
    route.addr_attr(R6_RTA_GATEWAY, "fe80::1").u32_attr(R6_RTA_OIF, 3);
    Msg addr = with_seq(newaddr(0, 3), 7);
    addr.addr_attr(R6_IFA_ADDRESS, "2001:db8::1");
    Msg odd = with_seq(newaddr(0, 3), 7);
    odd.b.resize(odd.b.size() + 2);  // 26 bytes: the next message starts at 28
    odd.fix_len();
    odd.b.resize(odd.b.size() + 2);
    Msg other = with_seq(newroute(0, R6_RTPROT_RA), 8);
    Msg done = with_seq(Msg(R6_NLMSG_DONE, 4), 7);

    auto cat = [](std::initializer_list<const Msg*> ms) {
        std::vector<uint8_t> d;
        for (const Msg* m : ms) d.insert(d.end(), m->b.begin(), m->b.end());
        return d;
    };

    // Several messages, one of another request, one of unaligned length, then done.
    std::vector<uint8_t> d = cat({&route, &other, &odd, &addr, &done, &route});
    Seen seen;
    EXPECT_EQ(walk_dump(d.data(), d.size(), 7, visit, &seen), DUMP_DONE);
    ASSERT_EQ(seen.msgs.size(), 3u) << "the message after NLMSG_DONE, or another request's, was handed on";
    EXPECT_EQ(seen.msgs[0], std::make_pair(R6_RTM_NEWROUTE, route.b.size()));
    EXPECT_EQ(seen.msgs[1], std::make_pair(R6_RTM_NEWADDR, size_t{26}));
    EXPECT_EQ(seen.msgs[2], std::make_pair(R6_RTM_NEWADDR, addr.b.size()));

    // A datagram without done: more follow. One cut inside its last message:
    // the whole ones are handed on, the cut one is not.
    d = cat({&route, &addr});
    seen = {};
    EXPECT_EQ(walk_dump(d.data(), d.size(), 7, visit, &seen), DUMP_MORE);
    EXPECT_EQ(seen.msgs.size(), 2u);
    seen = {};
    EXPECT_EQ(walk_dump(d.data(), d.size() - 1, 7, visit, &seen), DUMP_MORE);
    ASSERT_EQ(seen.msgs.size(), 1u);
    EXPECT_EQ(seen.msgs[0].first, R6_RTM_NEWROUTE);
    // A length field shorter than a header ends the walk too (no endless loop).
    Msg zero = route;
    zero.put32(0, 0);
    d = cat({&addr, &zero, &route});
    seen = {};
    EXPECT_EQ(walk_dump(d.data(), d.size(), 7, visit, &seen), DUMP_MORE);
    EXPECT_EQ(seen.msgs.size(), 1u);
    // A cut done is no end; a done carrying an error, or an error message, is
    // a failed dump.
    d = cat({&done});
    EXPECT_EQ(walk_dump(d.data(), d.size() - 1, 7, visit, nullptr), DUMP_MORE);
    Msg failed = done;
    failed.put32(NL_HDR_LEN, static_cast<uint32_t>(-16));
    d = cat({&route, &failed});
    EXPECT_EQ(walk_dump(d.data(), d.size(), 7, visit, &seen), DUMP_FAILED);
    Msg error = with_seq(Msg(R6_NLMSG_ERROR, 20), 7);
    EXPECT_EQ(walk_dump(error.b.data(), error.b.size(), 7, visit, &seen), DUMP_FAILED);
    EXPECT_EQ(walk_dump(nullptr, 0, 7, visit, &seen), DUMP_MORE);
}

// Each change that is stored arms the report for exactly 2 s from then,
// replacing an earlier arming; a notification that stores nothing leaves
// the alarm as it was. The remaining time is read back with getitimer: at
// most 2 s, and no less than 2 s minus the time the call took.
TEST_F(Route6monHandlers, EveryStoredChangeArmsTheReportTwoSecondsAhead) {
    // The route handler runs "ip -6 ro del ...": a stand-in that does nothing.
    char dir[] = "/tmp/route6mon_ip_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string ip = std::string(dir) + "/ip";
    FILE* f = fopen(ip.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("#!/bin/sh\nexit 0\n", f);
    fclose(f);
    ASSERT_EQ(chmod(ip.c_str(), 0755), 0);
    std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", dir, 1);

    auto left = [] {
        itimerval v{};
        getitimer(ITIMER_REAL, &v);
        return v.it_value.tv_sec + v.it_value.tv_usec / 1e6;
    };
    auto arms_two_seconds = [&](const Msg& m, int (*handler)(const uint8_t*, size_t)) {
        alarm(10);
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(handler(m.b.data(), m.b.size()), 0);
        double remaining = left();
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LE(remaining, 2.0);
        EXPECT_GE(remaining, 2.0 - took - 0.001) << "took " << took << " s";
    };

    Msg a = newaddr(0x80, lo_);
    a.addr_attr(R6_IFA_ADDRESS, "2001:db8::1");
    arms_two_seconds(a, addr_handler);
    Msg r = newroute(0, R6_RTPROT_RA);
    r.addr_attr(R6_RTA_GATEWAY, "fe80::1").u32_attr(R6_RTA_OIF, lo_);
    arms_two_seconds(r, route_handler);
    EXPECT_STREQ(devgateway[0], "fe80::1");

    alarm(10);
    Msg ll = newaddr(0x80, lo_);
    ll.addr_attr(R6_IFA_ADDRESS, "fe80::2");
    EXPECT_EQ(addr_handler(ll.b.data(), ll.b.size()), -1);
    EXPECT_GT(left(), 9.0);

    setenv("PATH", saved_path.c_str(), 1);
    unlink(ip.c_str());
    rmdir(dir);
}

}  // namespace
