// What the dispatch benchmarks share: the minimal loop hotplug is measured
// against, the way both are seen to be done with a burst, and the sender of
// the bursts. Used by bench/hotplug_dispatch.cpp (on this machine, in a
// sandbox) and board/dispatch_bench.cpp (on the emulated router), so that
// both ratios compare hotplug with the very same loop.
// The minimal loop itself is in bench/minimal_loop.h.
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

#include "bench/minimal_loop.h"

namespace dispatch_loop {

constexpr int kBurst = 50;

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

// What `pid` itself and its reaped children have used so far: CPU seconds,
// and the children's minor page faults (each page a child touches after the
// fork, and every copy-on-write, is one).
struct Usage {
    double self = 0, kids_user = 0, kids_sys = 0;
    long minflt = 0, kids_minflt = 0;
};

inline Usage usage_of(pid_t pid) {
    Usage u;
    char path[64], b[1024] = {};
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return u;
    ssize_t n = read(fd, b, sizeof(b) - 1);
    close(fd);
    if (n <= 0) return u;
    const char* p = strrchr(b, ')');
    if (!p) return u;
    // Fields after the command: state is field 3; minflt 10, cminflt 11, utime 14,
    // stime 15, cutime 16, cstime 17.
    long v[20] = {};
    int field = 3;
    for (p += 2; *p && field <= 17; ++field) {
        v[field] = strtol(p, nullptr, 10);
        p = strchr(p, ' ');
        if (!p) break;
        ++p;
    }
    double hz = (double)sysconf(_SC_CLK_TCK);
    u.self = (double)(v[14] + v[15]) / hz;
    u.kids_user = (double)v[16] / hz;
    u.kids_sys = (double)v[17] / hz;
    u.minflt = v[10];
    u.kids_minflt = v[11];
    return u;
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
    const Usage hp0 = usage_of(hp), b0 = usage_of(base);
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
    const Usage hp1 = usage_of(hp), b1 = usage_of(base);
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
    auto kids = [](const Usage& a, const Usage& b) { return (b.kids_user + b.kids_sys) - (a.kids_user + a.kids_sys); };
    printf("CPU per package (process + children, clock ticks): hotplug %.1f + %.1f us, minimal loop %.1f + %.1f us\n",
           (hp1.self - hp0.self) / packages * 1e6, kids(hp0, hp1) / packages * 1e6,
           (b1.self - b0.self) / packages * 1e6, kids(b0, b1) / packages * 1e6);
    // Where a child's time goes: its own code (user), the kernel's work for
    // it (system: the fork's copy-on-write and the page faults, the exit).
    printf("child per package: hotplug user %.1f us, system %.1f us, %.1f minor faults; "
           "minimal loop user %.1f us, system %.1f us, %.1f minor faults\n",
           (hp1.kids_user - hp0.kids_user) / packages * 1e6, (hp1.kids_sys - hp0.kids_sys) / packages * 1e6,
           (double)(hp1.kids_minflt - hp0.kids_minflt) / packages,
           (b1.kids_user - b0.kids_user) / packages * 1e6, (b1.kids_sys - b0.kids_sys) / packages * 1e6,
           (double)(b1.kids_minflt - b0.kids_minflt) / packages);
    printf("process itself per package: hotplug %.1f minor faults, minimal loop %.1f minor faults\n",
           (double)(hp1.minflt - hp0.minflt) / packages, (double)(b1.minflt - b0.minflt) / packages);
    fflush(stdout);
    return true;
}

}  // namespace dispatch_loop
