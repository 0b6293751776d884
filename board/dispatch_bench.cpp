// hotplug's per-package cost on the board, against the minimal loop of
// bench/hotplug_dispatch.cpp: the board's form of that benchmark, run in the
// guest by board/figures.py (scripts/board --figures).
//
// It measures the hotplug the board runs, started by /etc/init.d/plumbing
// with the board's PATH and plexd beside it, as firmware runs it. No
// namespaces are needed: the bursts go to uevent group 1, where that hotplug
// listens, and the minimal loop (board-dispatch-loop, built against the same
// C library as hotplug, see board/dispatch_loop.cpp) listens on group 2,
// where the kernel sends nothing. "block" "remove"
// events of loop devices run no handler, so the bursts change nothing on the
// board; nothing else must be plugged while it runs. The guest's kernel has
// no pid namespace counter (ns_last_pid), so the forks are counted from
// /proc/stat; the idle check (select without a time-out) ends each round.
//
// Cross-built by scripts/board --figures; on the board, as root:
//   board-dispatch-bench [rounds]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/dispatch_loop.h"

namespace {

constexpr int kBaselineGroup = 2;

// Processes and threads created since boot (the "processes" line).
long forks_since_boot() {
    FILE* f = fopen("/proc/stat", "re");
    if (!f) return -1;
    char line[256];
    long n = -1;
    while (fgets(line, sizeof(line), f))
        if (strncmp(line, "processes ", 10) == 0) n = strtol(line + 10, nullptr, 10);
    fclose(f);
    return n;
}

pid_t hotplug_pid() {
    FILE* f = fopen("/var/run/hotplug.pid", "re");
    if (!f) return -1;
    long pid = -1;
    if (fscanf(f, "%ld", &pid) != 1) pid = -1;
    fclose(f);
    return (pid_t)pid;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 20;
    if (rounds < 1) rounds = 20;
    pid_t hp = hotplug_pid();
    if (hp <= 0 || kill(hp, 0) != 0) {
        fprintf(stderr, "hotplug does not run (/var/run/hotplug.pid)\n");
        return 1;
    }
    pid_t base = fork();
    if (base == 0) {
        execlp("board-dispatch-loop", "board-dispatch-loop", "2", (char*)nullptr);
        _exit(127);
    }
    double t0 = dispatch_loop::now_s();
    while (!(dispatch_loop::idle(hp) && dispatch_loop::idle(base))) {
        if (dispatch_loop::now_s() - t0 > 30) {
            fprintf(stderr, "hotplug or the minimal loop is not idle\n");
            kill(base, SIGKILL);
            return 1;
        }
        usleep(10000);
    }
    bool done = dispatch_loop::compare(hp, base, kBaselineGroup, rounds, forks_since_boot);
    kill(base, SIGKILL);
    waitpid(base, nullptr, 0);
    if (kill(hp, 0) != 0) {
        fprintf(stderr, "hotplug died\n");
        return 1;
    }
    return done ? 0 : 1;
}
