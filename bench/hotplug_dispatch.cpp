// Per-package cost of hotplug for events that run no handler (block remove),
// against a minimal loop doing the same work: receive a datagram, fork, pipe
// handshake, child exits, SIGCHLD, reap.
//
// Both run side by side in one sandbox (own user, pid and network
// namespaces, so no kernel uevent arrives): hotplug on uevent group 1, the
// minimal loop (this program re-executed with --baseline) on group 2. Rounds
// alternate between them; a round sends a burst of 50 datagrams (below the
// queue's limit, so none is refused) and lasts from the first send until the
// last package is gone. "Gone" is seen from outside, the same way for both:
// 50 new process ids have been handed out in the pid namespace (one child per
// package, forked one at a time) and the process sleeps in select without a
// time-out (its queue is empty).
//
// The minimal loop is given the daemon's conditions: a session of its own
// (with autogroup scheduling, a scheduling group of its own, apart from the
// polling thread) and no lazy symbol binding in its children. Besides the two
// medians and their ratio, the median of the per-round ratios, the best
// rounds and the CPU time per package are printed: on a shared machine the
// wall-time medians move with the load of other processes.
//
// Needs root. Run by hand: build/bin/bench_hotplug_dispatch [rounds]
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

#include "tests/support/sandbox.h"

namespace {

constexpr int kBurst = 50;
constexpr int kBaselineGroup = 2;

// ---- The minimal loop -----------------------------------------------------

volatile pid_t base_child = 0;
volatile int base_finished = 0;
volatile struct timeval base_timeout;
volatile struct timeval* volatile base_timeout_ptr = nullptr;

void base_sigchld(int) {
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

[[noreturn]] void run_baseline() {
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
    addr.nl_groups = 1u << (kBaselineGroup - 1);
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

double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

long last_pid() {
    char b[32] = {};
    int fd = open("/proc/sys/kernel/ns_last_pid", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = read(fd, b, sizeof(b) - 1);
    close(fd);
    return n > 0 ? strtol(b, nullptr, 10) : -1;
}

// True while `pid` sleeps in select (or pselect6) without a time-out.
bool idle(pid_t pid) {
    char path[64], b[256] = {};
    snprintf(path, sizeof(path), "/proc/%d/syscall", (int)pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, b, sizeof(b) - 1);
    close(fd);
    if (n <= 0) return false;
    long nr = strtol(b, nullptr, 10);
    if (nr != SYS_select && nr != SYS_pselect6) return false;
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

// One burst to `pid` listening on `group`; seconds per package.
double round_once(Sender& s, const std::vector<std::string>& burst, pid_t pid, int group) {
    long first = last_pid();
    double t0 = now_s();
    for (const auto& d : burst) s.send(d, group);
    for (;;) {
        if (last_pid() >= first + kBurst && idle(pid)) break;
        if (now_s() - t0 > 30) {
            fprintf(stderr, "round did not finish (pid %d)\n", (int)pid);
            return -1;
        }
        struct timespec ts = {0, 20000};
        nanosleep(&ts, nullptr);
    }
    return (now_s() - t0) / kBurst;
}

// CPU seconds used by `pid` itself and by its reaped children.
void cpu_of(pid_t pid, double& self, double& children) {
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void bench(int rounds) {
    // hotplug runs a storage pass at start: give it a world of its own.
    sandbox::storage_world();
    sandbox::bind_file("/dev/null", "/dev/console");
    sandbox::Process hp({sandbox::bin("hotplug")});
    sandbox::Process base({"/proc/self/exe", "--baseline"});
    if (!sandbox::wait_until([&] { return idle(hp.pid()) && idle(base.pid()); }, 10)) {
        fprintf(stderr, "hotplug or the minimal loop did not come up\n");
        return;
    }

    std::vector<std::string> burst;
    for (int i = 0; i < kBurst; ++i) {
        std::string dev = "/devices/virtual/block/loop" + std::to_string(i);
        burst.push_back(sandbox::uevent("remove@" + dev, {"ACTION=remove", "DEVPATH=" + dev, "SUBSYSTEM=block",
                                                          "MAJOR=7", "MINOR=" + std::to_string(i),
                                                          "DEVNAME=loop" + std::to_string(i), "DEVTYPE=disk",
                                                          "SEQNUM=" + std::to_string(1000 + i)}));
    }

    Sender s;
    double hp_self0, hp_kids0, b_self0, b_kids0;
    cpu_of(hp.pid(), hp_self0, hp_kids0);
    cpu_of(base.pid(), b_self0, b_kids0);
    std::vector<double> t_hp, t_base, paired;
    const int warmup = 3;
    for (int r = 0; r < rounds + warmup; ++r) {
        // Alternate which goes first, so drift hits both alike.
        double a, b;
        if (r % 2) {
            a = round_once(s, burst, hp.pid(), 1);
            b = round_once(s, burst, base.pid(), kBaselineGroup);
        } else {
            b = round_once(s, burst, base.pid(), kBaselineGroup);
            a = round_once(s, burst, hp.pid(), 1);
        }
        if (a < 0 || b < 0) return;
        if (r >= warmup) {
            t_hp.push_back(a);
            t_base.push_back(b);
            paired.push_back(a / b);
        }
    }
    if (!hp.alive()) {
        fprintf(stderr, "hotplug died\n");
        return;
    }
    double hp_self, hp_kids, b_self, b_kids;
    cpu_of(hp.pid(), hp_self, hp_kids);
    cpu_of(base.pid(), b_self, b_kids);
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
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--baseline") == 0) run_baseline();
    if (geteuid() != 0) {
        fprintf(stderr, "needs root (namespaces, mounts)\n");
        return 1;
    }
    int rounds = argc > 1 ? atoi(argv[1]) : 40;
    if (rounds < 1) rounds = 40;
    sandbox::run([rounds] { bench(rounds); }, sandbox::Options{.user_ns = true, .timeout_s = 600});
    return ::testing::Test::HasFailure() ? 1 : 0;
}
