#include "hotplug/hp_log.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>

int p_fd = -1;
char p_buf[1024];

int hp_is_debug() { return access("/var/debug", F_OK) == 0 ? 1 : 0; }

// One write per line. A failure is not reported or retried, but a write that
// SIGCHLD interrupts (the handler is installed without SA_RESTART, and a
// serial console blocks often) is carried on, so the line is not lost or cut.
void hp_log_flush() {
    const char* p = p_buf;
    size_t left = strlen(p_buf);
    while (left > 0) {
        ssize_t r = write(p_fd, p, left);
        if (r > 0) {
            p += r;
            left -= static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
}

void hp_log_line(const char* mod, int line, const char* fmt, ...) {
    int n = snprintf(p_buf, sizeof(p_buf), "[%d %s:%d]:", (int)getpid(), mod, line);
    if (n >= 0 && (size_t)n < sizeof(p_buf)) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(p_buf + n, sizeof(p_buf) - (size_t)n, fmt, ap);
        va_end(ap);
    }
    hp_log_flush();
}

void hp_log_bare(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(p_buf, sizeof(p_buf), fmt, ap);
    va_end(ap);
    hp_log_flush();
}
