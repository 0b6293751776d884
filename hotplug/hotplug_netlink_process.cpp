// Event intake and scheduling (module hotplug_netlink_process): the uevent
// socket and receiver, the package queue and its supervision, the SIGCHLD
// handler, the main loop and the per-package handler child.
#include "hotplug/hotplug_netlink_process.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hotplug/hotplug_handlers.h"
#include "hotplug/hp_log.h"

hp_pkg* volatile pkgs_tail = nullptr;
hp_pkg* volatile pkgs_head = nullptr;
volatile int pkgs_total = 0;
volatile int pkgs_accepting = 1;

volatile struct timeval select_timeout;
volatile struct timeval* volatile select_timeout_ptr = nullptr;

// Every matching row runs, in this order. The last row is the cards of a
// reader that stays plugged: a medium pulled or put in gives only a "block"
// "change" event of the disk, which no other row takes (a stick's pull is
// seen through "usb" "remove"); its handler acts only on a change of medium.
const hp_fn_row hp_fn_table[5] = {
    {"net", "", nullptr, hotplug_net_handler},
    {"usb", "remove", nullptr, hotplug_storage_handler},
    {"block", "add", nullptr, hotplug_storage_handler},
    {"usb", "add", nullptr, hotplug_usb_lp_handler},
    {"block", "change", nullptr, hotplug_media_change_handler},
};

// ---------------------------------------------------------------------------
// Pure checks

hp_rcv_verdict hp_check_datagram(const char* buf, size_t buf_size, long rcvd,
                                 const void* control, size_t control_len, int* uid_out) {
    // The window keeps a zero byte behind every accepted datagram.
    if (rcvd < HP_PKG_MIN_LEN || rcvd >= HP_PKG_MSG_SIZE || (size_t)rcvd >= buf_size)
        return HP_RCV_BAD_LENGTH;

    // The first control message must carry the sender's credentials. The
    // bytes are copied out rather than read in place: the buffer need not be
    // aligned for a cmsghdr.
    if (!control || control_len < sizeof(struct cmsghdr)) return HP_RCV_NO_CREDS;
    struct cmsghdr c;
    memcpy(&c, control, sizeof(c));
    if (c.cmsg_type != SCM_CREDENTIALS || c.cmsg_len < CMSG_LEN(sizeof(struct ucred)) ||
        control_len < CMSG_LEN(sizeof(struct ucred)))
        return HP_RCV_NO_CREDS;
    struct ucred cred;
    memcpy(&cred, (const char*)control + CMSG_LEN(0), sizeof(cred));
    if (uid_out) *uid_out = (int)cred.uid;
    if (cred.uid != 0) return HP_RCV_BAD_UID;

    // Header: at least 4 characters, and something must follow its NUL.
    size_t n = (size_t)rcvd;
    size_t h = strnlen(buf, n) + 1;
    if (h < 5 || h >= n) return HP_RCV_BAD_HEADER_LEN;
    if (!memmem(buf, h - 1, "@/", 2)) return HP_RCV_BAD_HEADER;
    return HP_RCV_ACCEPT;
}

long hp_find_var(const char* msg, size_t len, std::string_view key) {
    size_t off = 0;
    while (off < len) {
        const char* s = msg + off;
        size_t slen = strnlen(s, len - off);
        if (slen > key.size() && memcmp(s, key.data(), key.size()) == 0 && s[key.size()] == '=')
            return (long)(off + key.size() + 1);
        off += slen + 1;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Uevent socket and receiver

int init_netlink_socket(struct sockaddr_nl* addr) {
    int sock = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
    if (sock <= 0) {
        HP_BARE("can not create netlink socket.\n");
        return -1;
    }
    int flags = fcntl(sock, F_GETFD);
    flags = flags < 0 ? FD_CLOEXEC : (flags | FD_CLOEXEC);
    (void)fcntl(sock, F_SETFD, flags);

    bool bound = false;
    if (bind(sock, (struct sockaddr*)addr, sizeof(*addr)) == 0) {
        struct sockaddr_nl got;
        memset(&got, 0, sizeof(got));
        socklen_t got_len = sizeof(got);
        if (getsockname(sock, (struct sockaddr*)&got, &got_len) == 0) {
            addr->nl_pid = got.nl_pid;
            bound = true;
        }
    }
    if (!bound) {
        HP_BARE("netlink bind failed\n");
        close(sock);
        return -1;
    }

    int32_t on = 1;
    (void)setsockopt(sock, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    int32_t rcvbuf = 134217728;
    (void)setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf));
    return sock;
}

void hotplug_rcvd(int sock, struct sockaddr_nl* addr) {
    hp_pkg* pkg = (hp_pkg*)calloc(1, sizeof(hp_pkg));
    if (!pkg) {
        HP_LOG(HP_MOD_PROCESS, "Not enough memory!!!\n");
        return;
    }

    struct iovec iov;
    iov.iov_base = pkg->msg;
    iov.iov_len = sizeof(pkg->msg);
    // Room for exactly one control message carrying the credentials.
    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(struct ucred))];
    } ctl;
    memset(&ctl, 0, sizeof(ctl));
    struct msghdr mh;
    memset(&mh, 0, sizeof(mh));
    mh.msg_name = addr;
    mh.msg_namelen = sizeof(*addr);
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = ctl.buf;
    mh.msg_controllen = sizeof(ctl.buf);

    // MSG_TRUNC: the result is the datagram's true length, even beyond the buffer.
    ssize_t r = recvmsg(sock, &mh, MSG_TRUNC);
    if (r < 0) {
        if (errno != EINTR) HP_LOG(HP_MOD_PROCESS, "unable to receive message from netlink socket\n");
        free(pkg);
        return;
    }

    int uid = 0;
    hp_rcv_verdict verdict =
        hp_check_datagram(pkg->msg, sizeof(pkg->msg), (long)r, ctl.buf, mh.msg_controllen, &uid);
    switch (verdict) {
    case HP_RCV_ACCEPT:
        break;
    case HP_RCV_BAD_LENGTH:
        HP_LOG(HP_MOD_PROCESS,
               "invalid message length, the rcvd msg length:%d, the right range:[32, %d]\n",
               (int)r, HP_PKG_MSG_SIZE);
        break;
    case HP_RCV_NO_CREDS:
        HP_DLOG(HP_MOD_PROCESS, "no sender credentials received, message ignored\n");
        break;
    case HP_RCV_BAD_UID:
        HP_DLOG(HP_MOD_PROCESS, "sender uid=%d, message ignored\n", uid);
        break;
    case HP_RCV_BAD_HEADER_LEN:
        HP_DLOG(HP_MOD_PROCESS, "invalid message length\n");
        break;
    case HP_RCV_BAD_HEADER:
        HP_DLOG(HP_MOD_PROCESS, "unrecognized message header\n");
        break;
    }
    if (verdict != HP_RCV_ACCEPT) {
        free(pkg);
        return;
    }

    pkg->len = (int)r;
    hotplug_dump_pkg(pkg);
    pkg->devpath = _get_hotplug_var(pkg, "DEVPATH");
    pkg->subsystem = _get_hotplug_var(pkg, "SUBSYSTEM");
    pkg->action = _get_hotplug_var(pkg, "ACTION");
    HP_DLOG(HP_MOD_PROCESS, "SUBSYSTEM=%s  ACTION=%s DEVPATH=%s\n", hp_str(pkg->subsystem),
            hp_str(pkg->action), hp_str(pkg->devpath));
    hotplug_add_pkg(pkg);
}

// Bytes of a package's msg that hold its strings; always leaves a zero
// byte behind them, so every string found ends inside msg.
static size_t pkg_span(const hp_pkg* pkg) {
    if (pkg->len <= 0) return 0;
    size_t n = (size_t)pkg->len;
    return n < sizeof(pkg->msg) ? n : sizeof(pkg->msg) - 1;
}

char* _get_hotplug_var(hp_pkg* pkg, const char* key) {
    if (!pkg) {
        HP_LOG(HP_MOD_PROCESS, "ERROR, pkgs_tail is zero\n");
        return nullptr;
    }
    if (!key) return nullptr;
    long off = hp_find_var(pkg->msg, pkg_span(pkg), std::string_view(key));
    return off < 0 ? nullptr : pkg->msg + off;
}

char* get_hotplug_var(const char* key) { return _get_hotplug_var(pkgs_tail, key); }

void hotplug_dump_pkg(hp_pkg* pkg) {
    if (!pkg || !hp_is_debug()) return;
    size_t len = pkg_span(pkg);
    size_t off = 0;
    while (off < len) {
        const char* s = pkg->msg + off;
        int slen = (int)strnlen(s, len - off);
        HP_LOG(HP_MOD_PROCESS, "%.*s\n", slen, s);
        off += (size_t)slen + 1;
    }
}

// ---------------------------------------------------------------------------
// Queue and supervision

void hotplug_add_pkg(hp_pkg* pkg) {
    if (pkgs_accepting == 1 && pkgs_total > HP_QUEUE_HIGH) pkgs_accepting = 0;
    if (pkgs_accepting == 0 && pkgs_total < HP_QUEUE_LOW) pkgs_accepting = 1;
    if (pkgs_accepting == 0) {
        HP_LOG(HP_MOD_PROCESS, "too much hotplug event, ignore it!pkgs_total:%d\n", (int)pkgs_total);
        free(pkg);
        return;
    }

    bool first = pkgs_head == nullptr;
    pkg->next = nullptr;
    if (first) {
        pkg->prev = nullptr;
        pkgs_head = pkg;
        pkgs_tail = pkg;  // published last: the package is complete
    } else {
        hp_pkg* head = pkgs_head;
        pkg->prev = head;
        head->next = pkg;
        pkgs_head = pkg;
    }
    pkgs_total = pkgs_total + 1;
    HP_DLOG(HP_MOD_PROCESS, "Add%spkg(total:%d):\n\t%s %s %s\n", first ? " first " : " ",
            (int)pkgs_total, hp_str(pkg->action), hp_str(pkg->subsystem), hp_str(pkg->devpath));
}

void hotplug_supervise_pkg() {
    hp_pkg* pkg = pkgs_tail;
    if (!pkg || pkg->status == PKG_WAITING) return;

    if (pkg->status == PKG_RUNNING && (pkg->pid <= 0 || kill(pkg->pid, 0) != 0)) {
        HP_DLOG(HP_MOD_PROCESS, "%d have exit, but can not rcvd SIGCHLD\n", (int)pkg->pid);
        pkg->status = PKG_FINISHED;
    }

    if (pkg->status == PKG_RUNNING) {
        pkg->ticks++;
        if (pkg->ticks > HP_CHILD_TICKS) {
            HP_LOG(HP_MOD_PROCESS, "%d time out (%dseconds), kill it\n", (int)pkg->pid, pkg->ticks);
            // Only the child itself: what its handler started is left alone.
            if (kill(pkg->pid, SIGKILL) != 0)
                HP_LOG(HP_MOD_PROCESS, "no process %d\n", (int)pkg->pid);
            pkg->status = PKG_FINISHED;
        }
    }

    if (pkg->status == PKG_FINISHED) {
        pkgs_total = pkgs_total - 1;
        HP_DLOG(HP_MOD_PROCESS, "Del pkg(total pkg:%d):\n\t%d %s %s %s\n", (int)pkgs_total,
                (int)pkg->pid, hp_str(pkg->action), hp_str(pkg->devpath), hp_str(pkg->subsystem));
        // Advance the tail before freeing, so the SIGCHLD handler never sees
        // a freed record.
        hp_pkg* next = pkg->next;
        pkgs_tail = next;
        if (!next)
            pkgs_head = nullptr;
        else
            next->prev = nullptr;
        free(pkg);
    }
}

// ---------------------------------------------------------------------------
// SIGCHLD handler: async-signal-safe, so it formats with its own buffer and
// integer formatter and writes with write(2).

namespace {

struct SigLine {
    char buf[192];
    size_t n = 0;

    void str(const char* s) {
        while (*s && n < sizeof(buf)) buf[n++] = *s++;
    }
    void num(long v) {
        char tmp[24];
        size_t k = 0;
        unsigned long u = v < 0 ? 0UL - (unsigned long)v : (unsigned long)v;
        do {
            tmp[k++] = (char)('0' + u % 10);
            u /= 10;
        } while (u && k < sizeof(tmp));
        if (v < 0 && n < sizeof(buf)) buf[n++] = '-';
        while (k && n < sizeof(buf)) buf[n++] = tmp[--k];
    }
    // "[pid module:line]:"
    void prefix(int line) {
        str("[");
        num((long)getpid());
        str(" " HP_MOD_PROCESS ":");
        num(line);
        str("]:");
    }
    void flush() {
        ssize_t r = write(p_fd, buf, n);
        (void)r;
    }
};

}  // namespace

void hotplug_sigchld(int signo) {
    (void)signo;
    int saved_errno = errno;
    // Every ended child, without waiting for one that merely stopped.
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) break;
        if (hp_is_debug()) {
            SigLine l;
            l.prefix(__LINE__);
            l.num(pid);
            l.str(" exit,status=");
            l.num((status >> 8) & 0xff);
            l.str(".\n");
            l.flush();
        }
        hp_pkg* tail = pkgs_tail;
        if (!tail || pid != tail->pid) continue;
        if (hp_is_debug()) {
            SigLine l;
            l.prefix(__LINE__);
            l.num(pid);
            l.str(" end, set status to 2\n");
            l.flush();
        }
        tail->status = PKG_FINISHED;
        if (select_timeout_ptr) {
            select_timeout.tv_sec = 0;
            select_timeout.tv_usec = 0;
        }
    }
    errno = saved_errno;
}

// ---------------------------------------------------------------------------
// Dispatch

// Runs every matching row; returns how many ran. Before the first one the
// daemon's reaper goes: shells started by the handlers are waited for by the
// shell runner itself, so the reaper must not run in the child. A package
// that no row takes leaves it be, as it starts no process.
static int run_handlers(const hp_pkg* pkg) {
    int ran = 0;
    for (const hp_fn_row& row : hp_fn_table) {
        if (row.action[0] && (!pkg->action || strcmp(row.action, pkg->action) != 0)) continue;
        if (row.filter && row.filter(pkg->devpath)) continue;
        if (!pkg->subsystem || strcmp(pkg->subsystem, row.subsystem) != 0) continue;
        if (ran++ == 0) {
            struct sigaction dfl;
            memset(&dfl, 0, sizeof(dfl));  // empty mask, no flags
            dfl.sa_handler = SIG_DFL;
            sigaction(SIGCHLD, &dfl, nullptr);
        }
        row.handler();
    }
    return ran;
}

int hotplug_proccess_pkg() {
    hp_pkg* pkg = pkgs_tail;
    if (!pkg || pkg->status != PKG_WAITING) return 0;

    int fds[2] = {-1, -1};
    bool have_pipe = pipe(fds) == 0;

    // A child whose handlers ran ends with exit(), which flushes the stdio
    // buffers it inherited. The daemon writes its console with write(2) and
    // has no stdio output of its own; this flush keeps it so should one come.
    fflush(nullptr);

    pkg->pid = fork();
    if (pkg->pid == -1) {
        HP_LOG(HP_MOD_PROCESS, "ERROR can not fork!\n");
        if (have_pipe) {
            close(fds[0]);
            close(fds[1]);
        }
        return -1;
    }

    if (pkg->pid > 0) {
        HP_DLOG(HP_MOD_PROCESS, "fork %d to handler pkg:\n\t%s %s %s\n", (int)pkg->pid,
                hp_str(pkg->action), hp_str(pkg->subsystem), hp_str(pkg->devpath));
        pkg->status = PKG_RUNNING;
        // Release the child only now that its id and status are recorded.
        if (have_pipe) {
            close(fds[0]);
            ssize_t w = write(fds[1], "a", 1);
            (void)w;
            close(fds[1]);
        }
        return 0;
    }

    // The handler child.
    if (have_pipe) {
        close(fds[1]);
        char token;
        while (read(fds[0], &token, 1) < 0 && errno == EINTR) {
        }
        close(fds[0]);
    }
    HP_DLOG(HP_MOD_PROCESS, "%d START to handle:\n\t%s %s %s\n", (int)getpid(), hp_str(pkg->action),
            hp_str(pkg->subsystem), hp_str(pkg->devpath));
    // After handlers, exit: the exit-time hooks of a library a handler used
    // (the bus library's) run, and what a handler left in stdio buffers is
    // written. A package that no row takes (most of the kernel's events)
    // used nothing that needs it, so its child ends with _exit: exit()
    // would run the C library's exit path (exit hooks, stdio's cleanup,
    // each shared library's finalizers), and every page of code or data a
    // child touches after the fork costs it a page fault; on the router
    // that path was most of such a package's cost.
    if (run_handlers(pkg) > 0) exit(0);
    _exit(0);
}

// ---------------------------------------------------------------------------
// Start-up pass

// The package of the storage pass that the daemon runs once at start: a
// "block" "add" event of its own making, handled like one from the kernel.
static const char kStartupMsg[] =
    "add@/hotplug-start\0ACTION=add\0SUBSYSTEM=block\0DEVPATH=/hotplug-start";

hp_pkg* hotplug_startup_pkg() {
    hp_pkg* pkg = (hp_pkg*)calloc(1, sizeof(hp_pkg));
    if (!pkg) {
        HP_LOG(HP_MOD_PROCESS, "Not enough memory!!!\n");
        return nullptr;
    }
    static_assert(sizeof(kStartupMsg) < sizeof(pkg->msg), "start-up package too long");
    memcpy(pkg->msg, kStartupMsg, sizeof(kStartupMsg));
    pkg->len = (int)sizeof(kStartupMsg);
    pkg->devpath = _get_hotplug_var(pkg, "DEVPATH");
    pkg->subsystem = _get_hotplug_var(pkg, "SUBSYSTEM");
    pkg->action = _get_hotplug_var(pkg, "ACTION");
    return pkg;
}

// ---------------------------------------------------------------------------
// Main loop

int hotplug_main() {
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_pid = 0;
    addr.nl_groups = 1;
    int sock = init_netlink_socket(&addr);
    if (sock <= 0) {
        HP_LOG(HP_MOD_PROCESS, "can not create netlink socket\n");
        return 0;
    }

    // Disks that were there before the daemon listened (at boot, or across
    // a restart) sent their events to nobody: one storage pass, queued and
    // forked like any other package, takes them in. It starts only now that
    // the socket is bound, so whatever changes from here on sends an event
    // that is queued behind it.
    if (hp_pkg* start = hotplug_startup_pkg()) {
        hotplug_add_pkg(start);
        hotplug_proccess_pkg();
    }

    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(sock, &rd);

        // Time-out first, then its address: the SIGCHLD handler zeroes it.
        if (pkgs_total != 0) {
            select_timeout.tv_sec = 1;
            select_timeout.tv_usec = 0;
            select_timeout_ptr = &select_timeout;
        } else {
            select_timeout_ptr = nullptr;
        }

        int ready = 0;
        hp_pkg* tail = pkgs_tail;
        if (!(tail && tail->status == PKG_FINISHED))
            ready = select(sock + 1, &rd, nullptr, nullptr,
                           const_cast<struct timeval*>(select_timeout_ptr));
        if (ready > 0 && FD_ISSET(sock, &rd)) hotplug_rcvd(sock, &addr);

        hotplug_supervise_pkg();
        hotplug_proccess_pkg();
    }
}
