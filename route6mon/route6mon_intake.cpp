// Intake side of route6mon: the slot table, the handlers of address and
// route notifications, the rtnetlink socket and the receive pass.
#include "route6mon/route6mon.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "common/fd.h"

char devname[R6_SLOTS][R6_NAME_LEN];
char devgateway[R6_SLOTS][R6_TEXT_LEN];
char devaddress[R6_SLOTS][R6_TEXT_LEN];

namespace {

template <size_t N>
void copy_text(char (&dst)[N], const char* src) {
    size_t n = strnlen(src, N - 1);
    memcpy(dst, src, n);
    memset(dst + n, 0, N - n);
}

// Runs a shell command with the daemon's signals let through, so that the
// shell and the tool it starts do not inherit them blocked. The handlers
// only set flags; an alarm's is acted on as soon as the command is over,
// the others once the receive pass is over.
void run_command(const char* cmd) {
    sigset_t saved;
    sigprocmask(SIG_SETMASK, &wait_sigmask, &saved);
    rut_doSystemAction("processIpveRouteMessage", cmd);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    // An alarm that fired while the command ran reports the table as it
    // stood then, before this route's gateway goes in.
    report_if_due();
}

// A receive failed with ENOBUFS: notifications were dropped, and the
// routes and addresses are to be asked for once the queue has run empty.
// Only the main loop reads and writes it.
bool overflowed;

void handle_dump_entry(const uint8_t* msg, size_t len, void*) {
    handle_datagram(msg, len);
}

}  // namespace

uint8_t finddevname(const char* name) {
    if (!name || name[0] == '\0') return R6_NO_SLOT;  // an empty name would read as a free slot
    for (unsigned i = 0; i < R6_SLOTS; ++i) {
        if (devname[i][0] == '\0') {
            copy_text(devname[i], name);
            return static_cast<uint8_t>(i);
        }
        // Names are kept to 15 characters; compare as stored.
        if (strncmp(devname[i], name, R6_NAME_LEN - 1) == 0) return static_cast<uint8_t>(i);
    }
    return R6_NO_SLOT;
}

bool slot_store_gateway(const char* name, const char* text) {
    uint8_t slot = finddevname(name);
    if (slot == R6_NO_SLOT) return false;
    copy_text(devgateway[slot], text);
    return true;
}

bool slot_store_address(const char* name, const char* text) {
    uint8_t slot = finddevname(name);
    if (slot == R6_NO_SLOT) return false;
    copy_text(devaddress[slot], text);
    return true;
}

void slots_clear() {
    memset(devname, 0, sizeof devname);
    memset(devgateway, 0, sizeof devgateway);
    memset(devaddress, 0, sizeof devaddress);
}

int addr_handler(const uint8_t* data, size_t len) {
    AddrNotice n = parse_newaddr(data, len);
    if (!n.valid) return -1;
    char name[R6_NAME_LEN] = {};
    bool named = if_indextoname(n.index, name) != nullptr;
    // A flagged address on a bridge is not ours to report; an address with
    // no flag at all is taken on any interface.
    if (n.flags != 0 && named && strstr(name, "br")) return -1;
    if (!n.has_address || !named) return -1;
    if (ipv6_is_link_local(n.address)) return -1;
    char text[R6_TEXT_LEN] = {};
    if (!inet_ntop(AF_INET6, n.address, text, sizeof text)) return -1;
    if (!slot_store_address(name, text)) return -1;
    alarm(2);
    return 0;
}

// Turns each RTA_OIF of a route message into the interface name, in order;
// an index without a name leaves the name before it. A name with "br" in it
// refuses the whole message: bridges keep their routes.
static bool oif_name_not_bridge(uint32_t index, void* ctx) {
    char* name = static_cast<char*>(ctx);
    char found[R6_NAME_LEN] = {};
    if (if_indextoname(index, found)) memcpy(name, found, R6_NAME_LEN);
    return strstr(name, "br") == nullptr;
}

int route_handler(const uint8_t* data, size_t len) {
    // Prefix length and origin first; interface names only for what passes.
    if (!route_is_learned_default(parse_newroute(data, len))) return -1;
    char name[R6_NAME_LEN] = {};
    RouteNotice n = parse_newroute(data, len, oif_name_not_bridge, name);
    if (!route_is_learned_default(n)) return -1;
    if (!n.has_gateway || name[0] == '\0') return -1;
    char gateway[R6_TEXT_LEN] = {};
    if (!inet_ntop(AF_INET6, n.gateway, gateway, sizeof gateway)) return -1;

    char cmd[1024];
    if (format_route_delete(cmd, sizeof cmd, gateway, name) < 0) return -1;
    run_command(cmd);

    if (!slot_store_gateway(name, gateway)) return -1;
    alarm(2);
    return 0;
}

void handle_datagram(const uint8_t* data, size_t len) {
    // Only the first message of a datagram is looked at.
    switch (nl_first_type(data, len)) {
    case R6_RTM_NEWADDR:
        addr_handler(data, len);
        break;
    case R6_RTM_NEWROUTE:
        route_handler(data, len);
        break;
    default:
        break;
    }
}

int open_route_socket() {
    int sock = socket(PF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
    if (sock <= 0) return sock;
    // Close-on-exec: the shell commands have no business with this socket.
    // Set apart from socket() so that kernels without SOCK_CLOEXEC still
    // give a socket (one thread: no fork can come in between).
    fcntl(sock, F_SETFD, FD_CLOEXEC);
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof addr);
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = static_cast<uint32_t>(getpid());
    addr.nl_groups = R6_NL_GROUPS;
    bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    return sock;
}

// One receive on a netlink socket. Gives the length as recvmsg does, and
// whether the datagram came whole from the kernel (port 0): only the kernel
// speaks for the routing tables, so a unicast from a process is passed over,
// or anyone could have routes deleted; a datagram cut short by the buffer
// is passed over too.
static ssize_t recv_from_kernel(int sock, uint8_t* buf, size_t len, int flags, bool& usable) {
    struct sockaddr_nl from;
    memset(&from, 0, sizeof from);
    struct iovec iov = {buf, len};
    struct msghdr mh;
    memset(&mh, 0, sizeof mh);
    mh.msg_name = &from;
    mh.msg_namelen = sizeof from;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n = recvmsg(sock, &mh, flags);
    usable = n > 0 && !(mh.msg_flags & MSG_TRUNC) && mh.msg_namelen >= sizeof from &&
             from.nl_family == AF_NETLINK && from.nl_pid == 0;
    return n;
}

bool dump_and_handle(uint16_t request, uint32_t seq) {
    // A socket of its own, in no group: the dump's replies do not mix with
    // notifications, and the notification socket keeps its queue meanwhile.
    int s = socket(PF_NETLINK, SOCK_RAW, NETLINK_ROUTE);
    if (s < 0) return false;
    UniqueFd sock(s);
    fcntl(s, F_SETFD, FD_CLOEXEC);
    // The kernel always answers a dump; the limit only keeps a lost answer
    // from stopping the daemon for good.
    struct timeval limit = {5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    // Header and an rtmsg or ifaddrmsg whose first byte, the family, is
    // AF_INET6; the rest of the body is zero (no filter).
    uint8_t req[NL_HDR_LEN + RTMSG_LEN] = {};
    uint32_t req_len = static_cast<uint32_t>(NL_HDR_LEN + (request == R6_RTM_GETROUTE ? RTMSG_LEN : IFADDRMSG_LEN));
    uint16_t flags = NLM_F_REQUEST | NLM_F_DUMP;
    memcpy(req, &req_len, 4);
    memcpy(req + 4, &request, 2);
    memcpy(req + 6, &flags, 2);
    memcpy(req + 8, &seq, 4);
    req[NL_HDR_LEN] = AF_INET6;
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    if (sendto(s, req, req_len, 0, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(req_len))
        return false;

    alignas(4) uint8_t buf[R6_DUMP_BUF];
    for (;;) {
        bool usable = false;
        ssize_t n = recv_from_kernel(s, buf, sizeof buf, 0, usable);
        if (n < 0 && errno == EINTR) continue;
        // ENOBUFS: part of the dump was lost; EAGAIN: no answer in time.
        if (n <= 0) return false;
        if (!usable) continue;
        switch (walk_dump(buf, static_cast<size_t>(n), seq, handle_dump_entry, nullptr)) {
        case DUMP_DONE:
            return true;
        case DUMP_FAILED:
            return false;
        case DUMP_MORE:
            break;
        }
    }
}

void recover_after_overflow() {
    static uint32_t seq;
    // Routes first: should the table fill up, a deleted route's gateway
    // comes before the addresses. A dump that did not run to its end (its
    // own queue overflowed, or the kernel gave up) is asked for once more,
    // and that is all: a later overflow of the notification socket brings
    // another recovery.
    const uint16_t requests[] = {R6_RTM_GETROUTE, R6_RTM_GETADDR};
    for (uint16_t request : requests)
        if (!dump_and_handle(request, ++seq)) dump_and_handle(request, ++seq);
}

void recv_msg(int sock) {
    // Wait with the daemon's signals let through: an alarm, SIGTERM or
    // SIGHUP ends the wait (EINTR) and the loop acts on its flag. After an
    // overflow the wait does not block: the backlog is read first, and the
    // dump runs once the queue is empty. The backlog is older news than the
    // dump, so the dump has the last word; and the kernel reports further
    // drops with a new ENOBUFS only once the queue has run empty, so drops
    // during or after the dump lead to one more recovery.
    struct pollfd pfd = {sock, POLLIN, 0};
    static const struct timespec no_wait = {0, 0};
    int ready = ppoll(&pfd, 1, overflowed ? &no_wait : nullptr, &wait_sigmask);
    if (ready > 0) {
        // A ppoll that finds the socket readable returns without delivering
        // a signal that came while the daemon was busy; let it through now.
        sigset_t saved;
        sigprocmask(SIG_SETMASK, &wait_sigmask, &saved);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
    }
    // An alarm that has fired is reported before the next datagram is stored.
    report_if_due();
    if (ready == 0 && overflowed) {
        overflowed = false;
        recover_after_overflow();
        return;
    }
    if (ready <= 0) return;

    uint8_t* buf = static_cast<uint8_t*>(obxMem_alloc(R6_RECV_BUF, 1));
    if (!buf) return;
    bool usable = false;
    ssize_t n = recv_from_kernel(sock, buf, R6_RECV_BUF, MSG_DONTWAIT, usable);
    if (n < 0 && errno == ENOBUFS) overflowed = true;
    // Any other failed receive (EAGAIN, EINTR) changes nothing.
    if (usable) handle_datagram(buf, static_cast<size_t>(n));
    obxMem_free(buf);
}
