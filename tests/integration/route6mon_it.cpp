// route6mon end to end: the real daemon in a private network namespace,
// routes and addresses made with iproute2 on veth links, reports read from
// plexd --hex.
#include "route6mon/route6mon.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Entry {
    std::string ifname, gateway, address;
};

struct Report {
    uint32_t type = 0, src = 0, dst = 0, flags = 0, w16 = 0, w20 = 0, length = 0;
    size_t bytes = 0;
    bool padding_zero = true;  // every byte behind each field's text is 0
    std::vector<Entry> entries;
};

uint32_t word(const std::vector<uint8_t>& b, size_t off) {
    uint32_t v;
    std::memcpy(&v, &b[off], 4);
    return v;
}

std::string field(const std::vector<uint8_t>& b, size_t off, bool& padding_zero) {
    size_t n = 0;
    while (n < 48 && b[off + n]) ++n;
    for (size_t i = n; i < 48; ++i) padding_zero = padding_zero && b[off + i] == 0;
    return std::string(reinterpret_cast<const char*>(&b[off]), n);
}

bool is_hex_line(const std::string& l) {
    return !l.empty() && l.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Reports in plexd's --hex output so far, oldest first.
std::vector<Report> reports(const std::string& out_path = "/run/plexd.out") {
    std::vector<Report> rs;
    std::istringstream in(sandbox::read_file(out_path));
    std::string line;
    while (std::getline(in, line)) {
        if (!is_hex_line(line) || line.size() % 2) continue;
        std::vector<uint8_t> b;
        for (size_t i = 0; i < line.size(); i += 2) b.push_back(std::stoi(line.substr(i, 2), nullptr, 16));
        if (b.size() < 28) continue;
        Report r;
        r.bytes = b.size();
        r.type = word(b, 0);
        r.src = word(b, 4);
        r.dst = word(b, 8);
        r.flags = word(b, 12);
        r.w16 = word(b, 16);
        r.w20 = word(b, 20);
        r.length = word(b, 24);
        for (size_t off = 28; off + 144 <= b.size(); off += 144)
            r.entries.push_back({field(b, off, r.padding_zero), field(b, off + 48, r.padding_zero),
                                 field(b, off + 96, r.padding_zero)});
        rs.push_back(r);
    }
    return rs;
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Waits until plexd has printed `n` reports; returns the seconds waited
// from `from`, or -1 when they did not come within `limit` seconds.
double wait_reports(size_t n, Clock::time_point from, double limit = 6) {
    if (!sandbox::wait_until([&] { return reports().size() >= n; }, limit - since(from))) return -1;
    return since(from);
}

void run_ok(const std::string& cmd) { ASSERT_EQ(sandbox::sh(cmd), 0) << cmd; }

// The moments just before and just after a change made with `ip`. The kernel
// sends its notification somewhere in between, or from a worker a little
// after, so the report's 2 s are counted from `before` for the lower bound
// and from `after` for the upper one; a loaded machine then fails neither.
struct Stamp {
    Clock::time_point before, after;
};

Stamp change(const std::string& cmd) {
    Stamp s;
    s.before = Clock::now();
    run_ok(cmd);
    s.after = Clock::now();
    return s;
}

// Waits for the `n`th report and checks that it came 2 s after the change.
void expect_report_two_seconds_after(const Stamp& s, size_t n = 1) {
    double d = wait_reports(n, s.after);
    ASSERT_GT(d, 0) << "no report";
    EXPECT_GE(d + std::chrono::duration<double>(s.after - s.before).count(), 1.95)
        << "the report did not wait 2 s";
    EXPECT_LE(d, 4.0) << "the report came late";
}

bool route_present(const std::string& show_args) {
    return sandbox::sh("ip -6 route show " + show_args + " | grep -q .") == 0;
}

// True once a process with port id `pid` listens on the IPv6 address and
// route groups (0x500) of this namespace's rtnetlink.
bool netlink_bound(pid_t pid) {
    sandbox::NetlinkRow row = sandbox::netlink_row(NETLINK_ROUTE, pid);
    return row.found && row.groups.find("500") != std::string::npos;
}

// The test's own changes use the real ip, so the log holds only the daemon's
// deletions (and the read-only "route show" of route_present).
const std::string IP = sandbox::exists("/usr/sbin/ip") ? "/usr/sbin/ip" : "/sbin/ip";

// Drops counted on the rtnetlink socket of port `pid` (-1 when not found).
long netlink_drops(pid_t pid) { return sandbox::netlink_row(NETLINK_ROUTE, pid).drops; }

// The common frame: tmpfs over /var and /run, plexd --hex, an `ip` wrapper
// that logs each call and runs the real tool, route6mon started in a
// scratch working directory (where an injected command would leave files).
struct Frame {
    std::unique_ptr<sandbox::StandIns> tools;
    std::unique_ptr<sandbox::Process> plexd;
    std::unique_ptr<sandbox::Process> daemon;

    // `ip_body`: shell text run by the `ip` wrapper before the real tool.
    explicit Frame(const std::string& ip_body = "") {
        sandbox::tmpfs("/var");
        sandbox::tmpfs("/run");
        sandbox::sh("mkdir -p /run/cwd");
        EXPECT_EQ(::chdir("/run/cwd"), 0);
        tools = std::make_unique<sandbox::StandIns>();
        tools->add_script("ip", ip_body + "\nexec " + IP + " \"$@\"");
        plexd = sandbox::start_plexd(true);
        daemon = std::make_unique<sandbox::Process>(std::vector<std::string>{sandbox::bin("route6mon")},
                                                    "/run/route6mon.out");
        EXPECT_TRUE(sandbox::wait_until([&] { return netlink_bound(daemon->pid()); }, 5))
            << "route6mon did not bind its rtnetlink socket";
    }

    // `ip` calls made by route6mon (the test's own go to /usr/sbin/ip directly).
    std::vector<std::string> deletions() const {
        std::vector<std::string> d;
        for (const auto& c : tools->calls())
            if (c.rfind("ip -6 ro del", 0) == 0) d.push_back(c);
        return d;
    }
};


TEST(Route6mon, GlobalAddressIsReportedAfterTwoSecondsLinkLocalNever) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        run_ok(IP + " -6 addr add fe80::99/64 dev veth0 nodad");
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        EXPECT_TRUE(reports().empty()) << "a link-local address was reported";

        expect_report_two_seconds_after(change(IP + " -6 addr add 2001:db8::1/64 dev veth0 nodad"));
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        auto rs = reports();
        ASSERT_EQ(rs.size(), 1u);
        const Report& r = rs[0];
        EXPECT_EQ(r.type, 0x10002801u);
        EXPECT_EQ(r.src, 102u);
        EXPECT_EQ(r.dst, 21u);
        EXPECT_EQ(r.flags, 0x80000000u);
        EXPECT_EQ(r.w16, 0u);
        EXPECT_EQ(r.w20, 0u);
        EXPECT_EQ(r.length, 144u);
        EXPECT_EQ(r.bytes, 28u + 144u);
        ASSERT_EQ(r.entries.size(), 1u);
        EXPECT_EQ(r.entries[0].ifname, "veth0");
        EXPECT_EQ(r.entries[0].gateway, "");
        EXPECT_EQ(r.entries[0].address, "2001:db8::1");
        EXPECT_TRUE(r.padding_zero);
        EXPECT_TRUE(f.deletions().empty());
        EXPECT_EQ(sandbox::read_file("/run/route6mon.out"), "") << "route6mon writes nothing";
    });
}

TEST(Route6mon, LearnedDefaultRouteIsDeletedAndItsGatewayReported) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        run_ok(IP + " -6 route add default via fe80::1 dev veth0 proto ra");
        EXPECT_TRUE(sandbox::wait_until([] { return !route_present("default dev veth0"); }, 1.5))
            << "the RA default route is still there";
        // The kernel's own protocol (2) is learned too.
        Stamp s = change(IP + " -6 route add default via fe80::2 dev veth1 proto 2");
        EXPECT_TRUE(sandbox::wait_until([] { return !route_present("default dev veth1"); }, 1.5));

        expect_report_two_seconds_after(s);
        auto rs = reports();
        ASSERT_EQ(rs.size(), 1u);
        ASSERT_EQ(rs[0].entries.size(), 2u);
        EXPECT_EQ(rs[0].length, 288u);
        EXPECT_EQ(rs[0].entries[0].ifname, "veth0");
        EXPECT_EQ(rs[0].entries[0].gateway, "fe80::1");
        EXPECT_EQ(rs[0].entries[0].address, "");
        EXPECT_EQ(rs[0].entries[1].ifname, "veth1");
        EXPECT_EQ(rs[0].entries[1].gateway, "fe80::2");
        auto dels = f.deletions();
        ASSERT_EQ(dels.size(), 2u);
        EXPECT_EQ(dels[0], "ip -6 ro del default via fe80::1 dev veth0");

        // The route comes back (the next advertisement): deleted again.
        run_ok(IP + " -6 route add default via fe80::1 dev veth0 proto 9");
        EXPECT_TRUE(sandbox::wait_until([] { return !route_present("default dev veth0"); }, 1.0));
        EXPECT_GT(wait_reports(2, Clock::now()), 0);
    });
}

TEST(Route6mon, OtherRoutesStayAndReportNothing) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        sandbox::veth("vbr0", "vbr1");  // "br" in the name: a bridge to route6mon
        run_ok(IP + " -6 route add default via fe80::1 dev veth0 proto static metric 100");
        run_ok(IP + " -6 route add default via fe80::2 dev veth0 proto boot metric 200");
        run_ok(IP + " -6 route add 2001:db8:5::/64 via fe80::3 dev veth0 proto ra");
        run_ok(IP + " -6 route add default dev veth1 proto ra metric 300");
        run_ok(IP + " -6 route add default via fe80::4 dev vbr0 proto ra");
        // A flagged address on a bridge is left out too.
        run_ok(IP + " -6 addr add 2001:db8:9::1/64 dev vbr0 nodad");
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        EXPECT_TRUE(f.deletions().empty());
        EXPECT_TRUE(reports().empty());
        EXPECT_TRUE(route_present("default via fe80::1 dev veth0 proto static"));
        EXPECT_TRUE(route_present("default via fe80::2 dev veth0 proto boot"));
        EXPECT_TRUE(route_present("2001:db8:5::/64 dev veth0"));
        EXPECT_TRUE(route_present("default dev veth1"));
        EXPECT_TRUE(route_present("default dev vbr0"));
    });
}

TEST(Route6mon, ThreeInterfacesGiveOneReportInSlotOrderThenSlotsStartAgain) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        sandbox::veth("veth2", "veth3");
        run_ok(IP + " -6 addr add 2001:db8:1::1/64 dev veth1 nodad");
        run_ok(IP + " -6 addr add 2001:db8::1/64 dev veth0 nodad");
        run_ok(IP + " -6 route add default via fe80::1 dev veth1 proto ra");
        run_ok(IP + " -6 addr add 2001:db8:2::1/64 dev veth2 nodad");
        expect_report_two_seconds_after(change(IP + " -6 addr add 2001:db8::2/64 dev veth0 nodad"));  // the last one wins
        auto rs = reports();
        ASSERT_EQ(rs.size(), 1u);
        EXPECT_EQ(rs[0].length, 432u);
        EXPECT_EQ(rs[0].bytes, 28u + 432u);
        ASSERT_EQ(rs[0].entries.size(), 3u);
        EXPECT_EQ(rs[0].entries[0].ifname, "veth1");
        EXPECT_EQ(rs[0].entries[0].address, "2001:db8:1::1");
        EXPECT_EQ(rs[0].entries[0].gateway, "fe80::1");
        EXPECT_EQ(rs[0].entries[1].ifname, "veth0");
        EXPECT_EQ(rs[0].entries[1].address, "2001:db8::2");
        EXPECT_EQ(rs[0].entries[1].gateway, "");
        EXPECT_EQ(rs[0].entries[2].ifname, "veth2");
        EXPECT_EQ(rs[0].entries[2].address, "2001:db8:2::1");

        // The table was emptied: the next change, on the third interface,
        // is alone in slot 0.
        run_ok(IP + " -6 addr add 2001:db8:2::2/64 dev veth2 nodad");
        ASSERT_GT(wait_reports(2, Clock::now()), 0);
        rs = reports();
        ASSERT_EQ(rs[1].entries.size(), 1u);
        EXPECT_EQ(rs[1].length, 144u);
        EXPECT_EQ(rs[1].entries[0].ifname, "veth2");
        EXPECT_EQ(rs[1].entries[0].address, "2001:db8:2::2");
    });
}

TEST(Route6mon, BurstOfChangesGivesOneReportAfterTheLast) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        // 2.4 s of changes, each less than 2 s after the one before.
        Stamp prev, s;
        for (int i = 1; i <= 5; ++i) {
            s = change(IP + " -6 addr add 2001:db8::" + std::to_string(i) + "/64 dev veth0 nodad");
            if (i > 1) {
                ASSERT_LT(std::chrono::duration<double>(s.after - prev.before).count(), 1.5);
            }
            prev = s;
            if (i < 5) std::this_thread::sleep_for(std::chrono::milliseconds(600));
        }
        expect_report_two_seconds_after(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        auto rs = reports();
        ASSERT_EQ(rs.size(), 1u);
        ASSERT_EQ(rs[0].entries.size(), 1u);
        EXPECT_EQ(rs[0].entries[0].address, "2001:db8::5");
    });
}

TEST(Route6mon, NinthInterfaceStoresNothingButItsRouteIsDeleted) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        for (int i = 0; i < 10; i += 2)
            sandbox::veth("veth" + std::to_string(i), "veth" + std::to_string(i + 1));
        for (int i = 0; i < 8; ++i)
            run_ok(IP + " -6 addr add 2001:db8:" + std::to_string(i) + "::1/64 dev veth" +
                   std::to_string(i) + " nodad");
        run_ok(IP + " -6 addr add 2001:db8:8::1/64 dev veth8 nodad");
        run_ok(IP + " -6 route add default via fe80::1 dev veth8 proto ra");
        auto t = Clock::now();
        EXPECT_TRUE(sandbox::wait_until([] { return !route_present("default dev veth8"); }, 1.5));
        // One already in the table is still stored.
        run_ok(IP + " -6 addr add 2001:db8:3::2/64 dev veth3 nodad");
        ASSERT_GT(wait_reports(1, t), 0) << "no report";
        auto rs = reports();
        ASSERT_EQ(rs.size(), 1u);
        EXPECT_EQ(rs[0].length, 8u * 144u);
        ASSERT_EQ(rs[0].entries.size(), 8u);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(rs[0].entries[i].ifname, "veth" + std::to_string(i));
            EXPECT_EQ(rs[0].entries[i].gateway, "");
        }
        EXPECT_EQ(rs[0].entries[3].address, "2001:db8:3::2");
        EXPECT_EQ(f.deletions().size(), 1u);
    });
}

TEST(Route6mon, HupAndIntChangeNothingTermEndsWithStatusZero) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        pid_t pid = f.daemon->pid();
        Stamp s = change(IP + " -6 addr add 2001:db8::1/64 dev veth0 nodad");
        for (int i = 0; i < 5; ++i) {
            ::kill(pid, SIGHUP);
            ::kill(pid, SIGINT);
            ::kill(pid, SIGPIPE);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_TRUE(f.daemon->alive());
        // Signals are not changes: the report still comes 2 s after the address.
        expect_report_two_seconds_after(s);

        // SIGTERM while a change is pending: the daemon ends at once, with
        // status 0, and the pending change is not reported.
        run_ok(IP + " -6 addr add 2001:db8::2/64 dev veth0 nodad");
        int st = f.daemon->stop(SIGTERM, 2);
        ASSERT_TRUE(WIFEXITED(st)) << "status " << st;
        EXPECT_EQ(WEXITSTATUS(st), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_EQ(reports().size(), 1u);
    });
}

TEST(Route6mon, HostileInterfaceNamesRunNothingInjected) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        // Names the kernel allows: no '/', ':' or blank, at most 15 characters.
        // Unquoted, each would leave a file in the daemon's working directory.
        const std::vector<std::string> names = {"v;touch${IFS}A", "v$(>B)", "v`>C`", "v&>D"};
        for (size_t i = 0; i < names.size(); ++i) {
            sandbox::veth(names[i], "peer" + std::to_string(i));
            run_ok(IP + " -6 route add default via fe80::1 dev '" + names[i] + "' proto ra");
        }
        // Quoted, the names still reach ip whole: the routes go.
        for (const auto& n : names)
            EXPECT_TRUE(sandbox::wait_until([&] { return !route_present("default dev '" + n + "'"); }, 2.0)) << n;
        ASSERT_GT(wait_reports(1, Clock::now()), 0);
        for (const char* file : {"A", "B", "C", "D"})
            EXPECT_FALSE(sandbox::exists(std::string("/run/cwd/") + file)) << "injected command ran: " << file;
        auto dels = f.deletions();
        ASSERT_EQ(dels.size(), names.size());
        auto rs = reports();
        ASSERT_EQ(rs[0].entries.size(), names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(dels[i], "ip -6 ro del default via fe80::1 dev " + names[i]);
            EXPECT_EQ(rs[0].entries[i].ifname, names[i]);
            EXPECT_EQ(rs[0].entries[i].gateway, "fe80::1");
        }
    });
}

// An alarm with nothing stored (here one sent from outside) still reports:
// the header alone, dataLength 0.
TEST(Route6mon, AlarmWithEmptyTableSendsAnEmptyReport) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        ASSERT_EQ(::kill(f.daemon->pid(), SIGALRM), 0);
        ASSERT_GT(wait_reports(1, Clock::now(), 3), 0) << "no report";
        auto rs = reports();
        ASSERT_EQ(rs.size(), 1u);
        EXPECT_EQ(rs[0].type, 0x10002801u);
        EXPECT_EQ(rs[0].src, 102u);
        EXPECT_EQ(rs[0].dst, 21u);
        EXPECT_EQ(rs[0].flags, 0x80000000u);
        EXPECT_EQ(rs[0].length, 0u);
        EXPECT_EQ(rs[0].bytes, 28u);
        EXPECT_TRUE(f.daemon->alive());
    });
}

// The alarm fires while a deletion command runs: the report holds the table
// as it stood then, and the route's gateway goes into the next report, two
// seconds after it was stored.
TEST(Route6mon, AlarmDuringTheDeletionReportsTheTableAsItStoodThen) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f("case \"$1 $2 $3\" in \"-6 ro del\") sleep 2;; esac");
        sandbox::veth("veth0", "veth1");
        run_ok(IP + " -6 addr add 2001:db8::1/64 dev veth0 nodad");
        auto t = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        // The deletion runs from 1 s to 3 s; the alarm is due at 2 s.
        run_ok(IP + " -6 route add default via fe80::1 dev veth1 proto ra");
        double d = wait_reports(2, t, 8);
        ASSERT_GT(d, 0) << "expected two reports, got " << reports().size();
        EXPECT_GE(d, 4.5);
        auto rs = reports();
        ASSERT_EQ(rs.size(), 2u);
        ASSERT_EQ(rs[0].entries.size(), 1u);
        EXPECT_EQ(rs[0].entries[0].ifname, "veth0");
        EXPECT_EQ(rs[0].entries[0].address, "2001:db8::1");
        EXPECT_EQ(rs[0].entries[0].gateway, "");
        ASSERT_EQ(rs[1].entries.size(), 1u) << "the gateway went into the earlier report";
        EXPECT_EQ(rs[1].entries[0].ifname, "veth1");
        EXPECT_EQ(rs[1].entries[0].gateway, "fe80::1");
        EXPECT_EQ(f.deletions().size(), 1u);
    });
}

// The receive pass in this process: an alarm that fired while the daemon
// was busy (SIGALRM blocked) and a datagram already waiting. The report
// goes out first, with the table as it stood when the alarm fired.
TEST(Route6monReceivePass, AlarmPendingBesideAWaitingDatagramIsReportedFirst) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        sandbox::tmpfs("/var");
        sandbox::tmpfs("/run");
        auto plexd = sandbox::start_plexd(true);
        ASSERT_EQ(obxMsg_init(EID_ROUTE6MON, &msgHandle), 0);
        sandbox::veth("veth0", "veth1");

        sigset_t own;
        sigemptyset(&own);
        sigaddset(&own, SIGALRM);
        sigprocmask(SIG_BLOCK, &own, &wait_sigmask);
        sigdelset(&wait_sigmask, SIGALRM);
        set_disposition(SIGALRM, sigalrm_handler);
        int sock = open_route_socket();
        ASSERT_GT(sock, 0);

        slots_clear();
        ASSERT_TRUE(slot_store_address("veth0", "2001:db8::1"));
        run_ok(IP + " -6 addr add 2001:db8:1::1/64 dev veth1 nodad");
        pollfd p{sock, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1) << "no notification queued";
        ::raise(SIGALRM);  // blocked: stays pending

        recv_msg(sock);
        auto rs = reports();
        for (int i = 0; i < 20 && rs.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            rs = reports();
        }
        ASSERT_EQ(rs.size(), 1u) << "the pending alarm was not reported by the receive pass";
        ASSERT_EQ(rs[0].entries.size(), 1u);
        EXPECT_EQ(rs[0].entries[0].ifname, "veth0");
        EXPECT_EQ(rs[0].entries[0].address, "2001:db8::1");
        alarm(0);
        ::close(sock);
        obxMsg_cleanup(&msgHandle);
    });
}

// A forged notification sent straight to the daemon's port by a process: only
// the kernel speaks for the routing tables, so nothing is deleted.
TEST(Route6mon, NotificationsFromProcessesAreIgnored) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        run_ok(IP + " -6 route add default via fe80::1 dev veth0 proto static");

        struct {
            nlmsghdr nh;
            rtmsg rt;
            rtattr gw_a;
            uint8_t gw[16];
            rtattr oif_a;
            uint32_t oif;
        } m;
        std::memset(&m, 0, sizeof m);
        m.nh.nlmsg_len = sizeof m;
        m.nh.nlmsg_type = RTM_NEWROUTE;
        m.rt.rtm_family = AF_INET6;
        m.rt.rtm_protocol = RTPROT_RA;
        m.gw_a.rta_len = sizeof(rtattr) + 16;
        m.gw_a.rta_type = RTA_GATEWAY;
        inet_pton(AF_INET6, "fe80::1", m.gw);
        m.oif_a.rta_len = sizeof(rtattr) + 4;
        m.oif_a.rta_type = RTA_OIF;
        m.oif = if_nametoindex("veth0");
        int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        ASSERT_GE(s, 0);
        sockaddr_nl to{};
        to.nl_family = AF_NETLINK;
        to.nl_pid = static_cast<uint32_t>(f.daemon->pid());
        ASSERT_EQ(::sendto(s, &m, sizeof m, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(sizeof m));
        ::close(s);
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        EXPECT_TRUE(f.deletions().empty());
        EXPECT_TRUE(route_present("default dev veth0"));
        EXPECT_TRUE(reports().empty());
    });
}

// A receive queue that overflowed (ENOBUFS) costs notifications but not the
// daemon: it works off what was queued and reports later changes. What
// survived the overflow need not hold a reportable change: the kernel sends
// the prefix routes from the adding process but the addresses from a worker,
// and on a loaded machine the routes alone can fill the queue.
TEST(Route6mon, OverflowedQueueIsSurvived) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        Frame f;
        sandbox::veth("veth0", "veth1");
        ASSERT_EQ(::kill(f.daemon->pid(), SIGSTOP), 0);
        std::string batch;
        for (int i = 1; i <= 1500; ++i) batch += "addr add 2001:db8::" + std::to_string(i) + "/128 dev veth0 nodad\n";
        sandbox::write_file("/run/batch", batch);
        run_ok(IP + " -6 -batch /run/batch");
        EXPECT_GT(netlink_drops(f.daemon->pid()), 0) << "the queue did not overflow";
        ASSERT_EQ(::kill(f.daemon->pid(), SIGCONT), 0);
        // Generous: the backlog is worked off on a loaded machine, maybe under ASan.
        EXPECT_TRUE(sandbox::wait_until([&] { return sandbox::netlink_row(NETLINK_ROUTE, f.daemon->pid()).rmem == 0; }, 30))
            << "the daemon did not drain its queue";
        run_ok(IP + " -6 addr add 2001:db8:1::1/64 dev veth1 nodad");
        auto reported = [] {
            for (const auto& r : reports())
                for (const auto& e : r.entries)
                    if (e.ifname == "veth1" && e.address == "2001:db8:1::1") return true;
            return false;
        };
        EXPECT_TRUE(sandbox::wait_until(reported, 30)) << "the change after the overflow was not reported";
        EXPECT_TRUE(f.daemon->alive());
    });
}

// What an overflow cost is made good. Routes that stood before the daemon
// started, and changes it heard normally, leave the routes alone; then the
// queue overflows while the daemon is stopped, and an RA default route and a
// global address come in among the dropped notifications. Once the daemon
// runs again it asks the kernel for its routes and addresses: every learned
// default route on a non-bridge link goes (the new one and the old one), a
// bridge's stays, and the report carries the gateways and the address.
// Then the queue overflows again while that recovery is busy deleting a
// route, and another route's notification is dropped: one more recovery
// deletes it too.
TEST(Route6mon, WhatAnOverflowDroppedIsRecoveredFromTheKernel) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        sandbox::veth("veth0", "veth1");
        sandbox::veth("vbr0", "vbr1");  // "br" in the name: a bridge to route6mon
        run_ok(IP + " -6 route add default via fe80::2 dev veth1 proto ra metric 100");
        run_ok(IP + " -6 route add default via fe80::3 dev vbr0 proto ra metric 200");
        // While /run/hold exists, the next deletion waits (at most 30 s)
        // until /run/go appears.
        Frame f("if [ -e /run/hold ]; then rm -f /run/hold; i=0;"
                " while [ ! -e /run/go ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done; fi");
        pid_t pid = f.daemon->pid();
        // No dump at start, none on a normal notification.
        expect_report_two_seconds_after(change(IP + " -6 addr add 2001:db8::1/64 dev veth0 nodad"));
        EXPECT_TRUE(route_present("default via fe80::2 dev veth1"))
            << "a route from before the start was deleted without an overflow";

        // Stopped, the daemon reads nothing: enough route changes overflow
        // its queue, and what comes after them is dropped.
        int next_prefix = 1;
        auto overflow = [&] {
            std::string batch;
            for (int i = 0; i < 2000; ++i, ++next_prefix)
                batch += "route add 2001:db8:" + std::to_string(next_prefix) + "::/64 dev veth0\n";
            sandbox::write_file("/run/batch", batch);
            run_ok(IP + " -6 -batch /run/batch");
        };
        auto dropped = [&](const std::string& cmd) {
            long drops = netlink_drops(pid);
            EXPECT_GT(drops, 0) << "the queue did not overflow";
            run_ok(cmd);
            EXPECT_GT(netlink_drops(pid), drops) << "not dropped: " << cmd;
        };
        auto entry = [](const std::string& ifname, const std::string& gateway, const std::string& address) {
            for (const auto& r : reports())
                for (const auto& e : r.entries)
                    if (e.ifname == ifname && (gateway.empty() || e.gateway == gateway) &&
                        (address.empty() || e.address == address))
                        return true;
            return false;
        };
        auto deleted = [&](const std::string& cmd) {
            auto dels = f.deletions();
            return std::find(dels.begin(), dels.end(), cmd) != dels.end();
        };

        ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        overflow();
        dropped(IP + " -6 route add default via fe80::1 dev veth0 proto ra metric 300");
        dropped(IP + " -6 addr add 2001:db8:f::1/64 dev veth1 nodad");
        ASSERT_EQ(::kill(pid, SIGCONT), 0);

        // Generous limits: the backlog is worked off on a loaded machine, maybe under ASan.
        EXPECT_TRUE(sandbox::wait_until([&] { return sandbox::netlink_row(NETLINK_ROUTE, pid).rmem == 0; }, 30))
            << "the daemon did not drain its queue";
        EXPECT_TRUE(sandbox::wait_until([] { return !route_present("default dev veth0"); }, 10))
            << "the RA default route learnt during the overflow is still there";
        EXPECT_TRUE(sandbox::wait_until([] { return !route_present("default dev veth1"); }, 10))
            << "the RA default route from before the start is still there";
        EXPECT_TRUE(sandbox::wait_until([&] { return entry("veth0", "fe80::1", ""); }, 10))
            << "the deleted route was not reported";
        EXPECT_TRUE(entry("veth1", "fe80::2", "2001:db8:f::1")) << "the old route or the new address was not reported";
        EXPECT_FALSE(entry("vbr0", "", "")) << "a bridge was reported";
        EXPECT_TRUE(route_present("default via fe80::3 dev vbr0"));
        EXPECT_TRUE(deleted("ip -6 ro del default via fe80::1 dev veth0"));
        EXPECT_TRUE(deleted("ip -6 ro del default via fe80::2 dev veth1"));

        // A second overflow while the recovery holds in its deletion.
        sandbox::write_file("/run/hold", "");
        ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        overflow();
        dropped(IP + " -6 route add default via fe80::4 dev veth0 proto ra metric 300");
        ASSERT_EQ(::kill(pid, SIGCONT), 0);
        ASSERT_TRUE(sandbox::wait_until([&] { return deleted("ip -6 ro del default via fe80::4 dev veth0"); }, 30))
            << "the recovery did not start";
        overflow();
        dropped(IP + " -6 route add default via fe80::5 dev veth1 proto ra metric 400");
        sandbox::write_file("/run/go", "");
        EXPECT_TRUE(sandbox::wait_until([] { return !route_present("default dev veth1"); }, 30))
            << "the route whose notification was dropped during the recovery is still there";
        EXPECT_TRUE(sandbox::wait_until([&] { return entry("veth1", "fe80::5", ""); }, 10));
        EXPECT_FALSE(route_present("default dev veth0"));
        EXPECT_TRUE(f.daemon->alive());
    });
}

}  // namespace
