// uevent-send: builds a uevent datagram the way the kernel lays it out and
// sends it to the uevent netlink broadcast (group 1) of the current network
// namespace, so that an event can be replayed by hand on a board or in a
// test.
#include <errno.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char kUsage[] =
    "usage: uevent-send [options] ACTION@DEVPATH [KEY=VALUE ...]\n"
    "\n"
    "Sends one uevent datagram to netlink (NETLINK_KOBJECT_UEVENT) multicast\n"
    "group 1 of the current network namespace, where hotplug listens.\n"
    "\n"
    "The datagram is the header ACTION@DEVPATH, then ACTION=, DEVPATH= and\n"
    "SUBSYSTEM= (each only when not given as an argument), then the KEY=VALUE\n"
    "arguments in their order; every string ends with a NUL byte.\n"
    "SUBSYSTEM comes from --subsystem or a SUBSYSTEM= argument; otherwise it is\n"
    "inferred from DEVPATH: \"block\" when it contains \"/block/\", \"net\" for\n"
    "\"/net/\", \"usb\" for \"/usb\" (checked in that order).\n"
    "\n"
    "options:\n"
    "  --subsystem NAME  SUBSYSTEM value to fill in\n"
    "  --uid N           attach sender credentials with user id N (our pid and\n"
    "                    gid), playing a sender that is not root; needs root\n"
    "  --raw             send the header and the arguments exactly as given,\n"
    "                    filling in nothing and checking nothing\n"
    "  --dry-run         write the datagram to standard output, send nothing\n"
    "  -h, --help        this text\n"
    "\n"
    "example: uevent-send add@/devices/virtual/net/wds0.1 INTERFACE=wds0.1\n"
    "exit status: 0 sent, 1 send failed, 2 bad arguments\n";

struct Args {
    std::string header;
    std::vector<std::string> keys;
    std::optional<std::string> subsystem;
    std::optional<long long> uid;
    bool raw = false;
    bool dry_run = false;
};

[[noreturn]] void usage_error(const std::string& what) {
    std::fprintf(stderr, "uevent-send: %s\n(uevent-send --help for usage)\n", what.c_str());
    std::exit(2);
}

Args parse_args(int argc, char** argv) {
    Args a;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](std::string_view name) -> std::string {
            if (i + 1 >= argc) usage_error(std::string(name) + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--subsystem") {
            a.subsystem = value(arg);
        } else if (arg.rfind("--subsystem=", 0) == 0) {
            a.subsystem = std::string(arg.substr(12));
        } else if (arg == "--uid" || arg.rfind("--uid=", 0) == 0) {
            std::string v = arg == "--uid" ? value(arg) : std::string(arg.substr(6));
            char* end = nullptr;
            errno = 0;
            long long uid = std::strtoll(v.c_str(), &end, 10);
            // (uid_t)-1 is no user id: the kernel reads it as "unchanged".
            if (v.empty() || *end || errno || uid < 0 || uid > 0xfffffffeLL)
                usage_error("bad user id: " + v);
            a.uid = uid;
        } else if (arg == "--raw") {
            a.raw = true;
        } else if (arg == "--dry-run") {
            a.dry_run = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            usage_error("unknown option " + std::string(arg));
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.empty()) usage_error("missing ACTION@DEVPATH");
    a.header = positional.front();
    a.keys.assign(positional.begin() + 1, positional.end());
    return a;
}

std::string key_of(const std::string& kv) { return kv.substr(0, kv.find('=')); }

bool has_key(const std::vector<std::string>& keys, const std::string& key) {
    for (const auto& kv : keys)
        if (kv.find('=') != std::string::npos && key_of(kv) == key) return true;
    return false;
}

std::optional<std::string> infer_subsystem(const std::string& devpath) {
    if (devpath.find("/block/") != std::string::npos) return "block";
    if (devpath.find("/net/") != std::string::npos) return "net";
    if (devpath.find("/usb") != std::string::npos) return "usb";
    return std::nullopt;
}

// The datagram bytes: every string followed by its NUL.
std::string build_datagram(const Args& a) {
    std::vector<std::string> strings{a.header};
    if (!a.raw) {
        size_t at = a.header.find('@');
        if (at == std::string::npos || at == 0 || at + 1 == a.header.size())
            usage_error("the header must be ACTION@DEVPATH: " + a.header);
        for (const auto& kv : a.keys)
            if (kv.find('=') == std::string::npos || kv.front() == '=')
                usage_error("not KEY=VALUE: " + kv);
        std::string action = a.header.substr(0, at);
        std::string devpath = a.header.substr(at + 1);
        if (a.subsystem && has_key(a.keys, "SUBSYSTEM"))
            usage_error("SUBSYSTEM given twice (--subsystem and SUBSYSTEM=)");
        if (!has_key(a.keys, "ACTION")) strings.push_back("ACTION=" + action);
        if (!has_key(a.keys, "DEVPATH")) strings.push_back("DEVPATH=" + devpath);
        if (!has_key(a.keys, "SUBSYSTEM")) {
            std::optional<std::string> sub = a.subsystem ? a.subsystem : infer_subsystem(devpath);
            if (!sub)
                usage_error("cannot tell SUBSYSTEM from " + devpath +
                            ": give --subsystem NAME or SUBSYSTEM=NAME");
            strings.push_back("SUBSYSTEM=" + *sub);
        }
    } else if (a.subsystem) {
        usage_error("--raw fills in nothing: give SUBSYSTEM=NAME instead of --subsystem");
    }
    strings.insert(strings.end(), a.keys.begin(), a.keys.end());
    std::string bytes;
    for (const auto& s : strings) {
        bytes += s;
        bytes.push_back('\0');
    }
    return bytes;
}

int send_datagram(const std::string& bytes, std::optional<long long> uid) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        std::perror("uevent-send: socket");
        return 1;
    }
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;  // port id chosen by the kernel, no groups
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(self)) < 0) {
        std::perror("uevent-send: bind");
        close(fd);
        return 1;
    }
    // Besides the broadcast, a netlink send always delivers one copy to the
    // destination port. Port 0 is the kernel's uevent socket, which may
    // refuse it after the broadcast has gone out; addressing our own port
    // instead makes an error mean that nothing was sent.
    socklen_t self_len = sizeof(self);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &self_len) < 0) {
        std::perror("uevent-send: getsockname");
        close(fd);
        return 1;
    }
    sockaddr_nl dest{};
    dest.nl_family = AF_NETLINK;
    dest.nl_pid = self.nl_pid;
    dest.nl_groups = 1;  // the uevent broadcast group

    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof(dest);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    if (uid) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(ucred));
        ucred cred{getpid(), static_cast<uid_t>(*uid), getgid()};
        std::memcpy(CMSG_DATA(c), &cred, sizeof(cred));
    }
    ssize_t n = sendmsg(fd, &msg, 0);
    int err = errno;
    close(fd);
    if (n < 0) {
        errno = err;
        std::perror("uevent-send: sendmsg");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args args = parse_args(argc, argv);
    std::string bytes = build_datagram(args);
    if (args.dry_run) {
        return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() ? 0 : 1;
    }
    return send_datagram(bytes, args.uid);
}
