// route6mon: program entry. Takes no arguments; runs until SIGTERM.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "common/fd.h"
#include "route6mon/route6mon.h"

int main(int, char**) {
    setsid();

    // The daemon's own signals stay blocked except while the receive waits
    // (and while a shell command runs), so that their handlers, which only
    // set flags, cannot slip in between a test of a flag and the wait.
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, SIGTERM);
    sigaddset(&own, SIGHUP);
    sigaddset(&own, SIGALRM);
    sigprocmask(SIG_BLOCK, &own, &wait_sigmask);
    sigdelset(&wait_sigmask, SIGTERM);
    sigdelset(&wait_sigmask, SIGHUP);
    sigdelset(&wait_sigmask, SIGALRM);

    set_disposition(SIGPIPE, SIG_IGN);
    set_disposition(SIGTERM, sigterm_handler);
    set_disposition(SIGINT, SIG_IGN);
    set_disposition(SIGHUP, sighup_handler);
    set_disposition(SIGALRM, sigalrm_handler);

    obxMsg_init(EID_ROUTE6MON, &msgHandle);

    int s = open_route_socket();
    if (s <= 0) return s;
    UniqueFd sock(s);

    for (;;) {
        recv_msg(sock.get());
        // The report goes out from the loop once the alarm has fired, never
        // in the middle of an update of the table.
        report_if_due();
        if (sigterm_received) {
            sock.reset();
            exit(0);
        }
        if (sighup_received) sighup_received = 0;
    }
}
