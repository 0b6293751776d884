#include "hotplug/hp_log.h"

#include <string.h>

int p_fd = -1;
char p_buf[1024];

int hp_is_debug() { return access("/var/debug", F_OK) == 0 ? 1 : 0; }

void hp_log_flush() {
    ssize_t r = write(p_fd, p_buf, strlen(p_buf));
    (void)r;
}
