// What the dispatch benchmarks share: the minimal loop hotplug is measured
// against, the way both are seen to be done with a burst, and the sender of
// the bursts. Used by bench/hotplug_dispatch.cpp (on this machine, in a
// sandbox) and board/dispatch_bench.cpp (on the emulated router), so that
// both ratios compare hotplug with the very same loop.
//
// The minimal loop does per package what hotplug must do at the least:
// receive a datagram, fork, pipe handshake, the child exits, SIGCHLD, reap.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace dispatch_loop {

constexpr int kBurst = 50;

// ---- The minimal loop -----------------------------------------------------

inline volatile pid_t base_child = 0;
inline volatile int base_finished = 0;
inline volatile struct timeval base_timeout;
inline volatile struct timeval* volatile base_timeout_ptr = nullptr;

inline void base_sigchld(int) {
    int e = errno;
    int st;
    pid_t p;
    while ((p = waitpid(-1, &st, WNOHANG)) > 0) {
        if (p == base_child) {
            base_finished = 1;
            if (base_timeout_ptr) {
                base_timeout.tv_sec = 0;
                base_timeout.tv_usec = 0;
            }
        }
    }
    errno = e;
}

// Serves uevent group `group` for good.
[[noreturn]] inline void run_minimal_loop(int group) {
    // Like the daemon: a session of its own, hence (with autogroup
    // scheduling) a scheduling group of its own, apart from the poller.
    setsid();
    // The daemon binds every symbol at start-up; bind what the children
    // call here, so that no child of the loop pays for lazy binding either.
    ssize_t r0 = read(-1, nullptr, 0);
    (void)r0;
    (void)syscall(SYS_getpid);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigfillset(&sa.sa_mask);
    sa.sa_handler = base_sigchld;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);

    int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1u << (group - 1);
    if (sock < 0 || bind(sock, (struct sockaddr*)&addr, sizeof(addr)) != 0) _exit(2);
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));

    // Received datagrams waiting for their child, oldest first.
    std::vector<char*> queue;
    queue.reserve(256);
    size_t head = 0;
    bool running = false;
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(sock, &rd);
        if (queue.size() > head) {
            base_timeout.tv_sec = 1;
            base_timeout.tv_usec = 0;
            base_timeout_ptr = &base_timeout;
        } else {
            base_timeout_ptr = nullptr;
        }
        int ready = 0;
        if (!base_finished)
            ready = select(sock + 1, &rd, nullptr, nullptr, const_cast<struct timeval*>(base_timeout_ptr));
        if (ready > 0 && FD_ISSET(sock, &rd)) {
            char* buf = (char*)calloc(1, 400);
            union {
                struct cmsghdr h;
                char b[CMSG_SPACE(sizeof(struct ucred))];
            } ctl;
            struct iovec iov = {buf, 400};
            struct msghdr mh;
            memset(&mh, 0, sizeof(mh));
            mh.msg_iov = &iov;
            mh.msg_iovlen = 1;
            mh.msg_control = ctl.b;
            mh.msg_controllen = sizeof(ctl.b);
            if (recvmsg(sock, &mh, MSG_TRUNC) > 0)
                queue.push_back(buf);
            else
                free(buf);
        }
        if (base_finished) {
            base_finished = 0;
            running = false;
            free(queue[head++]);
            if (head == queue.size()) {
                queue.clear();
                head = 0;
            }
        }
        if (!running && queue.size() > head) {
            int fds[2];
            bool piped = pipe(fds) == 0;
            pid_t c = fork();
            if (c == 0) {
                if (piped) {
                    close(fds[1]);
                    char t;
                    while (read(fds[0], &t, 1) < 0 && errno == EINTR) {
                    }
                }
                syscall(SYS_exit_group, 0);
            }
            base_child = c;
            running = true;
            if (piped) {
                close(fds[0]);
                ssize_t w = write(fds[1], "a", 1);
                (void)w;
                close(fds[1]);
            }
        }
    }
}

// ---- Measuring --------------------------------------------------------------

inline double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// True while `pid` sleeps in select without a time-out (its queue is
// empty). A 32-bit C library reaches select through _newselect, pselect6
// or pselect6_time64; the time-out is the fifth argument of each.
inline bool idle(pid_t pid) {
    char path[64], b[256] = {};
    snprintf(path, sizeof(path), "/proc/%d/syscall", (int)pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, b, sizeof(b) - 1);
    close(fd);
    if (n <= 0) return false;
    long nr = strtol(b, nullptr, 10);
    bool in_select = false;
#ifdef SYS_select
    in_select |= nr == SYS_select;
#endif
#ifdef SYS__newselect
    in_select |= nr == SYS__newselect;
#endif
#ifdef SYS_pselect6
    in_select |= nr == SYS_pselect6;
#endif
#ifdef SYS_pselect6_time64
    in_select |= nr == SYS_pselect6_time64;
#endif
    if (!in_select) return false;
    // Fields: number, then six arguments; the fifth is the time-out.
    const char* p = b;
    for (int i = 0; i < 5 && p; ++i) {
        p = strchr(p, ' ');
        if (p) ++p;
    }
    return p && strncmp(p, "0x0 ", 4) == 0;
}

struct Sender {
    int fd;
    Sender() { fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT); }
    ~Sender() { close(fd); }
    void send(const std::string& d, int group) {
        struct sockaddr_nl dst;
        memset(&dst, 0, sizeof(dst));
        dst.nl_family = AF_NETLINK;
        dst.nl_groups = 1u << (group - 1);
        sendto(fd, d.data(), d.size(), 0, (struct sockaddr*)&dst, sizeof(dst));
    }
};

// A burst of kBurst "block" "remove" datagrams: hotplug forks a child for
// each and runs no handler in it.
inline std::vector<std::string> remove_burst() {
    std::vector<std::string> burst;
    for (int i = 0; i < kBurst; ++i) {
        std::string dev = "/devices/virtual/block/loop" + std::to_string(i);
        std::string d = "remove@" + dev;
        const std::string keys[] = {"ACTION=remove", "DEVPATH=" + dev, "SUBSYSTEM=block", "MAJOR=7",
                                    "MINOR=" + std::to_string(i), "DEVNAME=loop" + std::to_string(i),
                                    "DEVTYPE=disk", "SEQNUM=" + std::to_string(1000 + i)};
        for (const std::string& k : keys) {
            d.push_back('\0');
            d += k;
        }
        d.push_back('\0');
        burst.push_back(d);
    }
    return burst;
}

// One burst to `pid` listening on `group`; seconds per package, or -1 when
// it did not finish in 30 s. A package is gone when its child was forked
// and the process sleeps in select without a time-out again: forks()
// counts the children handed out so far (every fork, where others fork
// too: the idle check then decides).
inline double round_once(Sender& s, const std::vector<std::string>& burst, pid_t pid, int group,
                         long (*forks)()) {
    long first = forks();
    double t0 = now_s();
    for (const auto& d : burst) s.send(d, group);
    for (;;) {
        if (forks() >= first + (long)burst.size() && idle(pid)) break;
        if (now_s() - t0 > 30) {
            fprintf(stderr, "round did not finish (pid %d)\n", (int)pid);
            return -1;
        }
        struct timespec ts = {0, 20000};
        nanosleep(&ts, nullptr);
    }
    return (now_s() - t0) / (double)burst.size();
}

// CPU seconds used by `pid` itself and by its reaped children.
inline void cpu_of(pid_t pid, double& self, double& children) {
    self = children = 0;
    char path[64], b[1024] = {};
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = read(fd, b, sizeof(b) - 1);
    close(fd);
    if (n <= 0) return;
    const char* p = strrchr(b, ')');
    if (!p) return;
    // Fields after the command: state is field 3; utime 14, stime 15, cutime 16, cstime 17.
    long v[20] = {};
    int field = 3;
    for (p += 2; *p && field <= 17; ++field) {
        v[field] = strtol(p, nullptr, 10);
        p = strchr(p, ' ');
        if (!p) break;
        ++p;
    }
    double hz = (double)sysconf(_SC_CLK_TCK);
    self = (double)(v[14] + v[15]) / hz;
    children = (double)(v[16] + v[17]) / hz;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Rounds alternate between hotplug (group 1) and the minimal loop (its own
// group), three of each first as a warm-up, and the summary is printed.
// Returns false when a round did not finish.
inline bool compare(pid_t hp, pid_t base, int base_group, int rounds, long (*forks)()) {
    std::vector<std::string> burst = remove_burst();
    Sender s;
    double hp_self0, hp_kids0, b_self0, b_kids0;
    cpu_of(hp, hp_self0, hp_kids0);
    cpu_of(base, b_self0, b_kids0);
    std::vector<double> t_hp, t_base, paired;
    const int warmup = 3;
    for (int r = 0; r < rounds + warmup; ++r) {
        // Alternate which goes first, so drift hits both alike.
        double a, b;
        if (r % 2) {
            a = round_once(s, burst, hp, 1, forks);
            b = round_once(s, burst, base, base_group, forks);
        } else {
            b = round_once(s, burst, base, base_group, forks);
            a = round_once(s, burst, hp, 1, forks);
        }
        if (a < 0 || b < 0) return false;
        if (r >= warmup) {
            t_hp.push_back(a);
            t_base.push_back(b);
            paired.push_back(a / b);
        }
    }
    double hp_self, hp_kids, b_self, b_kids;
    cpu_of(hp, hp_self, hp_kids);
    cpu_of(base, b_self, b_kids);
    double packages = (double)(rounds + warmup) * kBurst;
    double mh = median(t_hp), mb = median(t_base);
    printf("bursts of %d block remove events, %d rounds each\n", kBurst, rounds);
    printf("hotplug       median per package: %8.1f us\n", mh * 1e6);
    printf("minimal loop  median per package: %8.1f us\n", mb * 1e6);
    printf("ratio hotplug / minimal loop:      %8.3f (target <= 1.15)\n", mh / mb);
    // Rounds of the two run back to back, so the median of the per-round
    // ratios shrugs off load that comes and goes on a shared machine.
    printf("median of per-round ratios:        %8.3f\n", median(paired));
    printf("best rounds: hotplug %.1f us, minimal loop %.1f us, ratio %.3f\n",
           *std::min_element(t_hp.begin(), t_hp.end()) * 1e6, *std::min_element(t_base.begin(), t_base.end()) * 1e6,
           *std::min_element(t_hp.begin(), t_hp.end()) / *std::min_element(t_base.begin(), t_base.end()));
    printf("CPU per package (process + children, clock ticks): hotplug %.1f + %.1f us, minimal loop %.1f + %.1f us\n",
           (hp_self - hp_self0) / packages * 1e6, (hp_kids - hp_kids0) / packages * 1e6,
           (b_self - b_self0) / packages * 1e6, (b_kids - b_kids0) / packages * 1e6);
    fflush(stdout);
    return true;
}

}  // namespace dispatch_loop
