/* Linked into hotplug only in the coverage build (ENABLE_COVERAGE), never
 * into a shipped binary.
 *
 * hotplug has no SIGTERM handler: the default action ends it, which is how
 * the tests stop it. A process killed by a signal never writes its gcov
 * counters, so every line the daemon ran in a test would count as unrun.
 * This handler writes the counters and then lets the same signal end the
 * process with its default action, so the tests still see a daemon killed
 * by SIGTERM. The daemon's handler children inherit it (fork keeps it, exec
 * drops it).
 *
 * __gcov_dump is not async-signal-safe: a SIGTERM that lands while the
 * daemon is inside malloc or stdio could hang it here. The tests stop the
 * daemon while it waits in select, and a stop that hangs falls back to
 * SIGKILL after 5 s, losing only that run's counters. */
#include <signal.h>
#include <string.h>

extern void __gcov_dump(void);

static void dump_then_die(int sig) {
    __gcov_dump();
    signal(sig, SIG_DFL);
    raise(sig); /* pending while this handler runs; delivered on return */
}

__attribute__((constructor)) static void install_dump_on_sigterm(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = dump_then_die;
    sigfillset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, 0);
}
