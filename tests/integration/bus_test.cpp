// The bus end to end: the client library against the real plexd, in a
// private sandbox with its own /var (so its own /var/run/obxmsg.sock).
#include "bus/obx_msg.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kOut[] = "/run/plexd.out";
const char kErr[] = "/run/plexd.err";

// A private /var for the socket and /run for plexd's output.
void lay_dirs() {
    sandbox::tmpfs("/var");
    sandbox::tmpfs("/run");
}

// A 32-bit word in the byte order of the machine, spelled out byte by byte.
void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        int shift = std::endian::native == std::endian::big ? 24 - 8 * i : 8 * i;
        b[off + i] = static_cast<uint8_t>(v >> shift);
    }
}

std::string hex(const std::vector<uint8_t>& b) {
    std::string s;
    char two[3];
    for (uint8_t c : b) {
        snprintf(two, sizeof(two), "%02x", c);
        s += two;
    }
    return s;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

std::vector<std::string> out_lines() { return lines_of(sandbox::read_file(kOut)); }

bool wait_lines(size_t n, double seconds = 5) {
    return sandbox::wait_until([&] { return out_lines().size() >= n; }, seconds);
}

// Starts plexd with stdout and stderr in separate files, so that the message
// lines can be checked to be alone on stdout.
std::unique_ptr<sandbox::Process> start_plexd_split(bool hex_mode) {
    std::string cmd = "exec " + sandbox::bin("plexd") + (hex_mode ? " --hex" : "") + " 2>" + kErr;
    auto p = std::make_unique<sandbox::Process>(std::vector<std::string>{"/bin/sh", "-c", cmd}, kOut);
    EXPECT_TRUE(sandbox::wait_until([] { return sandbox::exists(OBX_MSG_SOCKET_PATH); }, 5));
    return p;
}

// A storage notification built as the storage pass builds it.
BusMsgHeader* storage_msg(uint32_t type, int32_t disk, int32_t partition) {
    auto* m = static_cast<BusMsgHeader*>(obxMem_alloc(36, 1));
    m->type = type;
    m->src = EID_HOTPLUG;
    m->dst = EID_PLEXD;
    m->flags |= OBX_MSG_FLAG_EVENT;
    m->dataLength = sizeof(StorageEventPayload);
    auto* p = reinterpret_cast<StorageEventPayload*>(m + 1);
    p->disk = disk;
    p->partition = partition;
    return m;
}

// Sends one storage event through `h` as hotplug does (allocated from the
// bus, sent, freed); obxMsg_send's result.
int send_storage(void* h, uint32_t type, int32_t disk, int32_t partition) {
    BusMsgHeader* m = storage_msg(type, disk, partition);
    int r = obxMsg_send(h, m);
    obxMem_free(m);
    return r;
}

std::vector<uint8_t> storage_bytes(uint32_t type, int32_t disk, int32_t partition) {
    std::vector<uint8_t> b(36, 0);
    put32(b, 0, type);
    put32(b, 4, EID_HOTPLUG);
    put32(b, 8, EID_PLEXD);
    put32(b, 12, 0x80000000u);
    put32(b, 24, 8);
    put32(b, 28, static_cast<uint32_t>(disk));
    put32(b, 32, static_cast<uint32_t>(partition));
    return b;
}

struct RouteEntry {
    const char* ifname;
    const char* gateway;
    const char* address;
};

// The report buffer as route6mon fills it (1180 bytes, entries packed).
std::vector<uint8_t> route_buffer(const std::vector<RouteEntry>& entries) {
    std::vector<uint8_t> buf(1180, 0);
    auto* m = reinterpret_cast<BusMsgHeader*>(buf.data());
    m->type = MSG_IPV6_ROUTE_EVENT;
    m->src = EID_ROUTE6MON;
    m->dst = EID_PLEXD;
    m->flags = OBX_MSG_FLAG_EVENT;
    auto* e = reinterpret_cast<Ipv6RouteEventEntry*>(m + 1);
    for (const RouteEntry& r : entries) {
        m->dataLength += sizeof(Ipv6RouteEventEntry);
        strncpy(e->ifName, r.ifname, sizeof(e->ifName));
        strncpy(e->gateway, r.gateway, sizeof(e->gateway));
        strncpy(e->address, r.address, sizeof(e->address));
        ++e;
    }
    return buf;
}

// A raw seqpacket connection, for records the library would never send.
int raw_connect() {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, OBX_MSG_SOCKET_PATH);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool is_lower_hex(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

// Header words, the zero words at 16..23 and the payload arrive byte for
// byte: plexd --hex prints exactly what the layout prescribes, in order.
TEST(Bus, HexRoundTripOfStorageAndRouteMessages) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        lay_dirs();
        auto plexd = start_plexd_split(true);
        void* h = nullptr;
        ASSERT_EQ(obxMsg_init(EID_HOTPLUG, &h), 0);
        ASSERT_NE(h, nullptr);

        EXPECT_EQ(send_storage(h, MSG_STORAGE_DISK_ADDED, 1, 0), 0);
        EXPECT_EQ(send_storage(h, MSG_STORAGE_PART_UNMOUNTED, 2, -1), 0);

        auto report = route_buffer({{"eth0", "", "2001:db8::5"}, {"wds0.1", "fe80::1", ""}});
        EXPECT_EQ(obxMsg_send(h, reinterpret_cast<BusMsgHeader*>(report.data())), 0);
        auto empty = route_buffer({});
        EXPECT_EQ(obxMsg_send(h, reinterpret_cast<BusMsgHeader*>(empty.data())), 0);

        ASSERT_TRUE(wait_lines(4)) << sandbox::read_file(kOut) << sandbox::read_file(kErr);
        auto lines = out_lines();
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], hex(storage_bytes(MSG_STORAGE_DISK_ADDED, 1, 0)));
        EXPECT_EQ(lines[1], hex(storage_bytes(MSG_STORAGE_PART_UNMOUNTED, 2, -1)));

        // Route report: only header and the 288 counted bytes go out.
        std::vector<uint8_t> want(28 + 288, 0);
        put32(want, 0, 0x10002801u);
        put32(want, 4, 102);
        put32(want, 8, 21);
        put32(want, 12, 0x80000000u);
        put32(want, 24, 288);
        memcpy(&want[28], "eth0", 4);
        memcpy(&want[28 + 96], "2001:db8::5", 11);
        memcpy(&want[28 + 144], "wds0.1", 6);
        memcpy(&want[28 + 144 + 48], "fe80::1", 7);
        EXPECT_EQ(lines[2], hex(want));
        std::vector<uint8_t> want_empty(28, 0);
        put32(want_empty, 0, 0x10002801u);
        put32(want_empty, 4, 102);
        put32(want_empty, 8, 21);
        put32(want_empty, 12, 0x80000000u);
        EXPECT_EQ(lines[3], hex(want_empty));

        obxMsg_cleanup(&h);
        EXPECT_EQ(h, nullptr);
    });
}

TEST(Bus, ReadableLines) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        lay_dirs();
        auto plexd = sandbox::start_plexd(false, kOut);
        void* h = nullptr;
        ASSERT_EQ(obxMsg_init(EID_ROUTE6MON, &h), 0);
        EXPECT_EQ(send_storage(h, MSG_STORAGE_PART_MOUNTED, 1, 2), 0);
        auto report = route_buffer({{"eth0", "", "2001:db8::5"}, {"ppp0", "fe80::1", ""}});
        EXPECT_EQ(obxMsg_send(h, reinterpret_cast<BusMsgHeader*>(report.data())), 0);
        obxMsg_cleanup(&h);

        auto printed = [] { return sandbox::read_file(kOut).find("ppp0") != std::string::npos; };
        ASSERT_TRUE(sandbox::wait_until(printed, 5)) << sandbox::read_file(kOut);
        std::string out = sandbox::read_file(kOut);
        EXPECT_NE(out.find("MSG_STORAGE_PART_MOUNTED src=51(EID_HOTPLUG) dst=21(EID_PLEXD) flags=0x80000000 "
                           "dataLength=8 disk=1 partition=2\n"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("MSG_IPV6_ROUTE_EVENT src=102(EID_ROUTE6MON) dst=21(EID_PLEXD) flags=0x80000000 "
                           "dataLength=288 entries=2 [0] ifName=\"eth0\" gateway=\"\" address=\"2001:db8::5\" "
                           "[1] ifName=\"ppp0\" gateway=\"fe80::1\" address=\"\"\n"),
                  std::string::npos)
            << out;
    });
}

// No server, a stale socket file, then plexd replacing the stale file; and
// SIGTERM ends plexd with status 0 and takes the socket file away.
TEST(Bus, InitFailsWithoutServerAndPlexdReplacesStaleSocket) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        lay_dirs();
        void* h = reinterpret_cast<void*>(0x1);
        EXPECT_NE(obxMsg_init(EID_HOTPLUG, &h), 0);  // /var/run does not even exist
        EXPECT_EQ(h, nullptr);

        ASSERT_EQ(sandbox::sh("mkdir -p /var/run"), 0);
        {  // a socket file left behind by a server that died
            int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
            struct sockaddr_un a;
            memset(&a, 0, sizeof(a));
            a.sun_family = AF_UNIX;
            strcpy(a.sun_path, OBX_MSG_SOCKET_PATH);
            ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)), 0);
            close(fd);
        }
        EXPECT_NE(obxMsg_init(EID_HOTPLUG, &h), 0);
        EXPECT_EQ(h, nullptr);

        // The stale file is there already, so wait for plexd to say it listens.
        auto plexd = sandbox::start_plexd(true, kOut);
        auto listening = [&] { return plexd->output().find("listening on") != std::string::npos; };
        ASSERT_TRUE(sandbox::wait_until(listening, 5));
        ASSERT_EQ(obxMsg_init(EID_HOTPLUG, &h), 0);
        EXPECT_EQ(send_storage(h, MSG_STORAGE_DISK_REMOVED, 3, 0), 0);
        std::string want = hex(storage_bytes(MSG_STORAGE_DISK_REMOVED, 3, 0));
        EXPECT_TRUE(sandbox::wait_until([&] { return plexd->output().find(want) != std::string::npos; }, 5));
        obxMsg_cleanup(&h);

        int st = plexd->stop(SIGTERM);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
        EXPECT_FALSE(sandbox::exists(OBX_MSG_SOCKET_PATH));
    });
}

// A client whose server went away gets failed sends, and does not die of
// SIGPIPE even with the default disposition.
TEST(Bus, SendAfterServerLeftFailsWithoutSigpipe) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        lay_dirs();
        auto plexd = sandbox::start_plexd(true, kOut);
        void* h = nullptr;
        ASSERT_EQ(obxMsg_init(EID_ROUTE6MON, &h), 0);
        auto report = route_buffer({{"eth0", "", "2001:db8::5"}});
        auto* msg = reinterpret_cast<BusMsgHeader*>(report.data());
        ASSERT_EQ(obxMsg_send(h, msg), 0);
        ASSERT_TRUE(wait_lines(1));
        plexd->stop(SIGKILL);

        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGPIPE, SIG_DFL);
            int failed = 0;
            for (int i = 0; i < 3; ++i) failed += obxMsg_send(h, msg) != 0;
            obxMsg_cleanup(&h);
            sandbox::exit_child(failed == 3 ? 0 : 1);
        }
        int st = 0;
        ASSERT_EQ(waitpid(child, &st, 0), child);
        EXPECT_FALSE(WIFSIGNALED(st)) << "client died of signal " << WTERMSIG(st);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "a send to a vanished server succeeded";
        obxMsg_cleanup(&h);
    });
}

// Short, empty, mislabelled and oversized records are dropped with a reason;
// a client that vanishes right after sending still has its records read; and
// the well-behaved client beside them is served throughout.
TEST(Bus, BadRecordsAreDroppedAndOtherClientsServed) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        lay_dirs();
        auto plexd = start_plexd_split(true);
        void* good = nullptr;
        ASSERT_EQ(obxMsg_init(EID_HOTPLUG, &good), 0);

        int bad = raw_connect();
        ASSERT_GE(bad, 0);
        std::vector<uint8_t> mislabelled = storage_bytes(MSG_STORAGE_DISK_ADDED, 1, 0);
        put32(mislabelled, 24, 100);  // claims 100 payload bytes, carries 8
        std::vector<uint8_t> huge(100000, 0xee);
        EXPECT_EQ(send(bad, "short", 5, 0), 5);
        EXPECT_EQ(send(bad, "", 0, 0), 0);
        EXPECT_EQ(send(bad, mislabelled.data(), mislabelled.size(), 0), 36);
        EXPECT_EQ(send(bad, huge.data(), huge.size(), 0), 100000);
        // A valid record behind the garbage, then the client is gone.
        auto after = storage_bytes(MSG_STORAGE_PART_MOUNTED, 9, 9);
        EXPECT_EQ(send(bad, after.data(), after.size(), 0), 36);
        close(bad);

        // A client that connects and dies without a word.
        int silent = raw_connect();
        ASSERT_GE(silent, 0);
        close(silent);

        EXPECT_EQ(send_storage(good, MSG_STORAGE_PART_MOUNTED, 1, 1), 0);

        ASSERT_TRUE(wait_lines(2)) << sandbox::read_file(kErr);
        ASSERT_TRUE(sandbox::wait_until(
            [] { return lines_of(sandbox::read_file(kErr)).size() >= 5; }, 5))
            << sandbox::read_file(kErr);
        std::string err = sandbox::read_file(kErr);
        EXPECT_NE(err.find("dropped record of 5 bytes"), std::string::npos) << err;
        EXPECT_NE(err.find("dropped record of 0 bytes"), std::string::npos) << err;
        EXPECT_NE(err.find("dropped record of 36 bytes"), std::string::npos) << err;
        EXPECT_NE(err.find("dataLength 100 does not match"), std::string::npos) << err;
        EXPECT_NE(err.find("dropped record of 100000 bytes"), std::string::npos) << err;
        EXPECT_NE(err.find("larger than"), std::string::npos) << err;
        EXPECT_NE(err.find("shorter than the 28-byte header"), std::string::npos) << err;

        auto lines = out_lines();
        for (const auto& l : lines) EXPECT_TRUE(is_lower_hex(l)) << "not a hex line on stdout: " << l;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), hex(after)), 1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), hex(storage_bytes(MSG_STORAGE_PART_MOUNTED, 1, 1))), 1);

        // Still serving: a new client after all that.
        EXPECT_EQ(send_storage(good, MSG_STORAGE_DISK_REMOVED, 4, 0), 0);
        EXPECT_TRUE(wait_lines(3));
        EXPECT_TRUE(plexd->alive());
        obxMsg_cleanup(&good);
    });
}

// Many clients connected at once, each a separate process sending a run of
// messages: every message arrives once, each client's in its own order.
TEST(Bus, ManyClientsAtOnce) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        lay_dirs();
        auto plexd = start_plexd_split(false);
        constexpr int kClients = 40;
        constexpr int kEach = 50;
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<pid_t> kids;
        for (int c = 1; c <= kClients; ++c) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(go[1]);
                void* h = nullptr;
                if (obxMsg_init(EID_HOTPLUG, &h) != 0) _exit(2);
                char b;
                if (read(go[0], &b, 1) != 0) _exit(3);  // all start together at EOF
                int failed = 0;
                for (int i = 1; i <= kEach; ++i) {
                    failed += send_storage(h, MSG_STORAGE_PART_MOUNTED, c, i) != 0;
                }
                obxMsg_cleanup(&h);
                sandbox::exit_child(failed ? 1 : 0);
            }
            kids.push_back(pid);
        }
        close(go[0]);
        close(go[1]);
        for (pid_t k : kids) {
            int st = 0;
            ASSERT_EQ(waitpid(k, &st, 0), k);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "client status " << st;
        }
        ASSERT_TRUE(wait_lines(kClients * kEach, 10)) << out_lines().size();

        std::vector<int> last(kClients + 1, 0);
        size_t counted = 0;
        for (const auto& l : out_lines()) {
            int disk = 0, part = 0;
            ASSERT_EQ(sscanf(l.c_str(), "MSG_STORAGE_PART_MOUNTED src=51(EID_HOTPLUG) dst=21(EID_PLEXD) "
                                        "flags=0x80000000 dataLength=8 disk=%d partition=%d",
                             &disk, &part),
                      2)
                << l;
            ASSERT_TRUE(disk >= 1 && disk <= kClients) << l;
            EXPECT_EQ(part, last[disk] + 1) << "client " << disk << " out of order";
            last[disk] = part;
            ++counted;
        }
        EXPECT_EQ(counted, static_cast<size_t>(kClients * kEach));
        for (int c = 1; c <= kClients; ++c) EXPECT_EQ(last[c], kEach) << "client " << c;
        EXPECT_TRUE(plexd->alive());
    });
}

// A server that stops reading must not freeze its clients: once the socket
// is full, a send gives up after its time-out and fails; the server serves
// again when it resumes.
TEST(Bus, SendToStalledServerFailsInsteadOfHanging) {
    SANDBOX_REQUIRE_ROOT();
    sandbox::run([] {
        lay_dirs();
        auto plexd = start_plexd_split(true);
        void* h = nullptr;
        ASSERT_EQ(obxMsg_init(EID_HOTPLUG, &h), 0);
        ASSERT_EQ(kill(plexd->pid(), SIGSTOP), 0);
        BusMsgHeader* m = storage_msg(MSG_STORAGE_PART_MOUNTED, 1, 1);
        auto start = time(nullptr);
        int sent = 0;
        while (obxMsg_send(h, m) == 0 && sent < 100000) ++sent;
        auto waited = time(nullptr) - start;
        EXPECT_GT(sent, 0);
        EXPECT_LT(sent, 100000) << "sends never failed against a stalled server";
        EXPECT_LE(waited, 8) << "the failing send waited too long";

        ASSERT_EQ(kill(plexd->pid(), SIGCONT), 0);
        EXPECT_TRUE(wait_lines(static_cast<size_t>(sent), 10))
            << out_lines().size() << " of " << sent << "; plexd "
            << (plexd->alive() ? "runs" : "has ended with wait status " + std::to_string(plexd->wait_exit(0)))
            << ", its diagnostics: " << sandbox::read_file(kErr);
        EXPECT_EQ(obxMsg_send(h, m), 0);
        EXPECT_TRUE(wait_lines(static_cast<size_t>(sent) + 1, 5));
        obxMem_free(m);
        obxMsg_cleanup(&h);
    }, {.user_ns = false, .timeout_s = 40});  // a send that hangs fails the test here
}
