/* Linked into hotplug only in the coverage build (ENABLE_COVERAGE), never
 * into a shipped binary, with -Wl,--wrap=_exit.
 *
 * A handler child whose package no row takes ends with _exit, which skips
 * the exit-time writing of the gcov counters: the lines it ran would count
 * as unrun. This writes them first. Like the counters written by exit, they
 * include what the daemon had counted before the fork. */
extern void __gcov_dump(void);
extern void __real__exit(int status) __attribute__((noreturn));

void __wrap__exit(int status) {
    __gcov_dump();
    __real__exit(status);
}
