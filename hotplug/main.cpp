// hotplug: the uevent daemon. Opens the console, detaches from the terminal,
// sets its signal dispositions and runs the main loop, which returns only
// when the uevent socket cannot be set up.
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "hotplug/hotplug_netlink_process.h"
#include "hotplug/hp_log.h"

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    // Unchecked: without a console every line is silently lost. O_NOCTTY keeps
    // the console from becoming the controlling terminal of a daemon that was
    // started as a session leader.
    p_fd = open("/dev/console", O_RDWR | O_NOCTTY);

    if (setsid() == -1) HP_BARE("Could not detach from terminal\n");

    // Every signal blocked while a handler runs; no SA_RESTART, so SIGCHLD
    // ends a select in progress at once.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigfillset(&sa.sa_mask);
    sa.sa_flags = 0;
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    sa.sa_handler = hotplug_sigchld;
    sigaction(SIGCHLD, &sa, nullptr);

    hotplug_main();

    close(p_fd);
    return 0;
}
