// plexd: stand-in for the router's service daemon on the management bus.
//
// It listens on the bus socket (Unix domain, SOCK_SEQPACKET, default
// /var/run/obxmsg.sock), serves any number of clients at once, and prints one
// line on stdout per message received, flushed at once:
//   default   a readable line (one line each; wrapped here), for example
//               MSG_STORAGE_DISK_ADDED src=51(EID_HOTPLUG) dst=21(EID_PLEXD)
//                 flags=0x80000000 dataLength=8 disk=1 partition=0
//               MSG_IPV6_ROUTE_EVENT src=102(EID_ROUTE6MON) dst=21(EID_PLEXD)
//                 flags=0x80000000 dataLength=144 entries=1
//                 [0] ifName="eth0" gateway="" address="2001:db8::5"
//             text fields are quoted, cut at their first NUL, with bytes
//             outside printable ASCII (and " and \) written as \xNN;
//             messages of other types show their payload in hex; the two
//             header words at offsets 16..23 are shown only when not zero
//   --hex     only the lowercase hex of the whole record, header and payload
// Header words are read in host byte order, as the clients write them.
//
// Records that are not a message (shorter than the header, dataLength not
// matching the record length, larger than the receive buffer) are dropped;
// each drop is reported on stderr as "plexd: dropped ..." with the reason.
// Diagnostics never go to stdout, so stdout holds nothing but message lines.
//
// Options: --hex, --socket PATH (for tests; the default is the fixed path).
// SIGTERM and SIGINT end it with status 0 after removing the socket file.
#include "bus/obx_msg.h"
#include "common/fd.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

volatile sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int sig) { g_stop_signal = sig; }

constexpr size_t kHeaderSize = sizeof(BusMsgHeader);
// Room for the largest message the client library sends; a longer record is
// recognised by the real length that recv reports with MSG_TRUNC.
constexpr size_t kBufferSize = kHeaderSize + 65536;
// Records read from one client before the others get their turn.
constexpr int kRecordsPerTurn = 64;
constexpr size_t kRouteEntrySize = sizeof(Ipv6RouteEventEntry);

struct Options {
    bool hex = false;
    std::string socket_path = OBX_MSG_SOCKET_PATH;
};

struct Client {
    UniqueFd fd;
    unsigned id = 0;
    pid_t pid = 0;
};

uint32_t read_word(std::span<const uint8_t> rec, size_t off) {
    uint32_t v;
    memcpy(&v, rec.data() + off, sizeof(v));
    return v;
}

int32_t read_int(std::span<const uint8_t> rec, size_t off) {
    int32_t v;
    memcpy(&v, rec.data() + off, sizeof(v));
    return v;
}

const char* message_name(uint32_t type) {
    switch (type) {
        case MSG_STORAGE_DISK_ADDED: return "MSG_STORAGE_DISK_ADDED";
        case MSG_STORAGE_DISK_REMOVED: return "MSG_STORAGE_DISK_REMOVED";
        case MSG_STORAGE_PART_MOUNTED: return "MSG_STORAGE_PART_MOUNTED";
        case MSG_STORAGE_PART_UNMOUNTED: return "MSG_STORAGE_PART_UNMOUNTED";
        case MSG_IPV6_ROUTE_EVENT: return "MSG_IPV6_ROUTE_EVENT";
        default: return nullptr;
    }
}

const char* entity_name(uint32_t eid) {
    switch (eid) {
        case EID_PLEXD: return "EID_PLEXD";
        case EID_HOTPLUG: return "EID_HOTPLUG";
        case EID_ROUTE6MON: return "EID_ROUTE6MON";
        default: return nullptr;
    }
}

void append_format(std::string& out, const char* fmt, auto... args) {
    char tmp[128];
    int n = snprintf(tmp, sizeof(tmp), fmt, args...);
    if (n > 0) out.append(tmp, static_cast<size_t>(n) < sizeof(tmp) ? static_cast<size_t>(n) : sizeof(tmp) - 1);
}

void append_hex(std::string& out, std::span<const uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    out.reserve(out.size() + 2 * bytes.size());
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xf]);
    }
}

void append_entity(std::string& out, const char* key, uint32_t eid) {
    const char* name = entity_name(eid);
    if (name)
        append_format(out, " %s=%u(%s)", key, eid, name);
    else
        append_format(out, " %s=%u", key, eid);
}

// A NUL-padded text field, quoted: the bytes up to the first NUL, with
// anything that is not plain printable ASCII escaped as \xNN.
void append_text_field(std::string& out, const char* key, std::span<const uint8_t> field) {
    out += ' ';
    out += key;
    out += "=\"";
    size_t i = 0;
    for (; i < field.size() && field[i] != 0; ++i) {
        uint8_t c = field[i];
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\')
            out.push_back(static_cast<char>(c));
        else
            append_format(out, "\\x%02x", static_cast<unsigned>(c));
    }
    out += '"';
    if (i == field.size()) out += "(unterminated)";
}

// The readable line of one well-formed record (header plus dataLength bytes).
std::string describe(std::span<const uint8_t> rec) {
    uint32_t type = read_word(rec, offsetof(BusMsgHeader, type));
    uint32_t flags = read_word(rec, offsetof(BusMsgHeader, flags));
    uint32_t reserved0 = read_word(rec, offsetof(BusMsgHeader, reserved));
    uint32_t reserved1 = read_word(rec, offsetof(BusMsgHeader, reserved) + 4);
    uint32_t length = read_word(rec, offsetof(BusMsgHeader, dataLength));
    std::span<const uint8_t> payload = rec.subspan(kHeaderSize);

    std::string out;
    const char* name = message_name(type);
    if (name)
        out = name;
    else
        append_format(out, "type=0x%08x", type);
    append_entity(out, "src", read_word(rec, offsetof(BusMsgHeader, src)));
    append_entity(out, "dst", read_word(rec, offsetof(BusMsgHeader, dst)));
    append_format(out, " flags=0x%08x", flags);
    if (reserved0 || reserved1) append_format(out, " reserved=0x%08x,0x%08x", reserved0, reserved1);
    append_format(out, " dataLength=%u", length);

    switch (type) {
        case MSG_STORAGE_DISK_ADDED:
        case MSG_STORAGE_DISK_REMOVED:
        case MSG_STORAGE_PART_MOUNTED:
        case MSG_STORAGE_PART_UNMOUNTED:
            if (payload.size() == sizeof(StorageEventPayload)) {
                append_format(out, " disk=%d partition=%d",
                              static_cast<int>(read_int(payload, offsetof(StorageEventPayload, disk))),
                              static_cast<int>(read_int(payload, offsetof(StorageEventPayload, partition))));
            } else {
                append_format(out, " payload(expected %zu bytes)=", sizeof(StorageEventPayload));
                append_hex(out, payload);
            }
            break;
        case MSG_IPV6_ROUTE_EVENT: {
            size_t entries = payload.size() / kRouteEntrySize;
            append_format(out, " entries=%zu", entries);
            for (size_t i = 0; i < entries; ++i) {
                auto entry = payload.subspan(i * kRouteEntrySize, kRouteEntrySize);
                append_format(out, " [%zu]", i);
                append_text_field(out, "ifName",
                                  entry.subspan(offsetof(Ipv6RouteEventEntry, ifName), IPV6_ROUTE_EVENT_FIELD));
                append_text_field(out, "gateway",
                                  entry.subspan(offsetof(Ipv6RouteEventEntry, gateway), IPV6_ROUTE_EVENT_FIELD));
                append_text_field(out, "address",
                                  entry.subspan(offsetof(Ipv6RouteEventEntry, address), IPV6_ROUTE_EVENT_FIELD));
            }
            if (entries > IPV6_ROUTE_EVENT_MAX_ENTRIES)
                append_format(out, " (more than %d entries)", IPV6_ROUTE_EVENT_MAX_ENTRIES);
            if (payload.size() % kRouteEntrySize) {
                out += " trailing=";
                append_hex(out, payload.subspan(entries * kRouteEntrySize));
            }
            break;
        }
        default:
            if (!payload.empty()) {
                out += " payload=";
                append_hex(out, payload);
            }
            break;
    }
    return out;
}

void print_line(const std::string& line) {
    // A reader that went away only costs the line (SIGPIPE is ignored).
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void diag(const char* fmt, auto... args) {
    char line[512];
    snprintf(line, sizeof(line), fmt, args...);
    fprintf(stderr, "plexd: %s\n", line);
    fflush(stderr);
}

// Why a received record is not a message, or nullptr when it is one.
// `length` is the record's real length (recv with MSG_TRUNC).
const char* record_fault(std::span<const uint8_t> buf, size_t length, std::string& why) {
    why.clear();
    if (length > buf.size()) {
        append_format(why, "larger than the %zu-byte buffer", buf.size());
    } else if (length < kHeaderSize) {
        append_format(why, "shorter than the %zu-byte header", kHeaderSize);
    } else {
        uint32_t data_length = read_word(buf, offsetof(BusMsgHeader, dataLength));
        if (static_cast<uint64_t>(data_length) + kHeaderSize != length)
            append_format(why, "dataLength %u does not match the %zu payload bytes", data_length,
                          length - kHeaderSize);
    }
    return why.empty() ? nullptr : why.c_str();
}

void handle_record(const Options& opt, const Client& c, std::span<const uint8_t> buf, size_t length) {
    std::string why;
    if (const char* fault = record_fault(buf, length, why)) {
        diag("dropped record of %zu bytes from client %u (pid %d): %s", length, c.id, static_cast<int>(c.pid),
             fault);
        return;
    }
    auto rec = buf.first(length);
    if (opt.hex) {
        std::string line;
        append_hex(line, rec);
        print_line(line);
    } else {
        print_line(describe(rec));
    }
}

bool peer_hung_up(int fd) {
    struct pollfd p = {fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

// Reads the records a client has queued (a bounded number per turn).
// Returns false when the client is gone.
//
// A seqpacket receive gives 0 both for an empty record and at the end of the
// stream. With SO_PASSCRED every record, empty or not, carries the sender's
// credentials and the end of the stream carries none: that tells them apart,
// so records queued before a client vanished are all read.
bool serve_client(const Options& opt, const Client& c, std::span<uint8_t> buf) {
    for (int i = 0; i < kRecordsPerTurn; ++i) {
        struct iovec iov = {buf.data(), buf.size()};
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))];
        struct msghdr msg;
        memset(&msg, 0, sizeof(msg));
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(c.fd.get(), &msg, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            return false;  // ECONNRESET and the like: the client is gone
        }
        if (n == 0 && msg.msg_controllen == 0 && peer_hung_up(c.fd.get())) return false;
        handle_record(opt, c, buf, static_cast<size_t>(n));
    }
    return true;
}

// Creates each missing directory on the way to `dir`.
void make_dirs(const std::string& dir) {
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
        }
    }
}

// Binds and listens on `path`; a stale socket file is removed first, a live
// one (another server answers) or a file that is not a socket is left alone.
UniqueFd open_listener(const std::string& path, struct stat& bound) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() + 4 >= sizeof(addr.sun_path)) {
        diag("socket path too long: %s", path.c_str());
        return UniqueFd();
    }
    memcpy(addr.sun_path, path.data(), path.size());
    auto* sa = reinterpret_cast<struct sockaddr*>(&addr);

    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) make_dirs(path.substr(0, slash));

    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            diag("%s exists and is not a socket; not touching it", path.c_str());
            return UniqueFd();
        }
        UniqueFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (probe.valid() && connect(probe.get(), sa, sizeof(addr)) == 0) {
            diag("another server is listening on %s", path.c_str());
            return UniqueFd();
        }
        unlink(path.c_str());
    }

    UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        diag("socket: %s", strerror(errno));
        return UniqueFd();
    }
    // Inherited by every accepted connection (see serve_client).
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    // Bound and listening under a temporary name first, then renamed into
    // place: whoever sees the socket file can connect at once.
    std::string temp = path + ".new";
    struct sockaddr_un temp_addr = addr;
    memcpy(temp_addr.sun_path, temp.data(), temp.size());
    unlink(temp.c_str());
    if (bind(fd.get(), reinterpret_cast<struct sockaddr*>(&temp_addr), sizeof(temp_addr)) != 0) {
        diag("bind %s: %s", temp.c_str(), strerror(errno));
        return UniqueFd();
    }
    chmod(temp.c_str(), 0666);
    if (listen(fd.get(), SOMAXCONN) != 0 || stat(temp.c_str(), &bound) != 0 ||
        rename(temp.c_str(), path.c_str()) != 0) {
        diag("listen on %s: %s", path.c_str(), strerror(errno));
        unlink(temp.c_str());
        return UniqueFd();
    }
    return fd;
}

int usage() {
    fprintf(stderr, "usage: plexd [--hex] [--socket PATH]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--hex")
            opt.hex = true;
        else if (a == "--socket" && i + 1 < argc)
            opt.socket_path = argv[++i];
        else
            return usage();
    }

    signal(SIGPIPE, SIG_IGN);
    // SIGTERM and SIGINT are let through only while waiting in ppoll, so a
    // stop request is never lost between the check and the wait.
    sigset_t stop_set, wait_mask;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGTERM);
    sigaddset(&stop_set, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_stop_signal;
    sigfillset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    struct stat bound;
    UniqueFd listener = open_listener(opt.socket_path, bound);
    if (!listener.valid()) return 1;
    diag("listening on %s%s", opt.socket_path.c_str(), opt.hex ? " (hex)" : "");

    std::vector<uint8_t> buffer(kBufferSize);
    std::vector<Client> clients;
    std::vector<struct pollfd> fds;
    unsigned next_id = 1;
    bool accept_paused = false;  // out of descriptors: wait for a client to leave

    while (!g_stop_signal) {
        fds.clear();
        fds.push_back({listener.get(), static_cast<short>(accept_paused ? 0 : POLLIN), 0});
        for (const Client& c : clients) fds.push_back({c.fd.get(), POLLIN, 0});
        struct timespec pause_wait = {1, 0};
        int ready = ppoll(fds.data(), fds.size(), accept_paused ? &pause_wait : nullptr, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            diag("poll: %s", strerror(errno));
            break;
        }
        if (ready == 0) accept_paused = false;

        // Clients first (their indices match fds[1..]), then new connections.
        std::vector<Client> kept;
        kept.reserve(clients.size());
        for (size_t i = 0; i < clients.size(); ++i) {
            bool alive = true;
            if (fds[i + 1].revents) alive = serve_client(opt, clients[i], buffer);
            if (alive)
                kept.push_back(std::move(clients[i]));
            else
                accept_paused = false;
        }
        clients.swap(kept);

        if (fds[0].revents & POLLIN) {
            for (;;) {
                int fd = accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                        diag("accept: %s; waiting for a client to leave", strerror(errno));
                        accept_paused = true;
                    }
                    break;
                }
                Client c;
                c.fd.reset(fd);
                int on = 1;
                setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
                c.id = next_id++;
                struct ucred cred;
                socklen_t len = sizeof(cred);
                if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) c.pid = cred.pid;
                clients.push_back(std::move(c));
            }
        }
    }

    clients.clear();
    listener.reset();
    // Remove the socket file only if it is still the one this server bound.
    struct stat now;
    if (lstat(opt.socket_path.c_str(), &now) == 0 && now.st_dev == bound.st_dev && now.st_ino == bound.st_ino)
        unlink(opt.socket_path.c_str());
    if (g_stop_signal) diag("stopped by signal %d", static_cast<int>(g_stop_signal));
    return 0;
}
