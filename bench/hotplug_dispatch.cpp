// Per-package cost of hotplug for events that run no handler (block remove),
// against a minimal loop doing the same work: receive a datagram, fork, pipe
// handshake, child exits, SIGCHLD, reap.
//
// The minimal loop (bench/minimal_loop.h) and the measuring
// (bench/dispatch_loop.h) are shared with the board's form of this
// benchmark (board/dispatch_bench.cpp).
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
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/dispatch_loop.h"
#include "tests/support/sandbox.h"

namespace {

constexpr int kBaselineGroup = 2;

// Process ids handed out in the sandbox's pid namespace so far.
long last_pid() {
    char b[32] = {};
    int fd = open("/proc/sys/kernel/ns_last_pid", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    ssize_t n = read(fd, b, sizeof(b) - 1);
    close(fd);
    return n > 0 ? strtol(b, nullptr, 10) : -1;
}

void bench(int rounds) {
    // hotplug runs a storage pass at start: give it a world of its own.
    sandbox::storage_world();
    sandbox::bind_file("/dev/null", "/dev/console");
    sandbox::Process hp({sandbox::bin("hotplug")});
    sandbox::Process base({"/proc/self/exe", "--baseline"});
    if (!sandbox::wait_until([&] { return dispatch_loop::idle(hp.pid()) && dispatch_loop::idle(base.pid()); }, 10)) {
        fprintf(stderr, "hotplug or the minimal loop did not come up\n");
        return;
    }
    if (!dispatch_loop::compare(hp.pid(), base.pid(), kBaselineGroup, rounds, last_pid)) return;
    if (!hp.alive()) fprintf(stderr, "hotplug died\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--baseline") == 0) dispatch_loop::run_minimal_loop(kBaselineGroup);
    if (geteuid() != 0) {
        fprintf(stderr, "needs root (namespaces, mounts)\n");
        return 1;
    }
    int rounds = argc > 1 ? atoi(argv[1]) : 40;
    if (rounds < 1) rounds = 40;
    sandbox::run([rounds] { bench(rounds); }, sandbox::Options{.user_ns = true, .timeout_s = 600});
    return ::testing::Test::HasFailure() ? 1 : 0;
}
