// Storage notifications to plexd (module hotplug_netlink_storage): a bus
// message while plexd runs, otherwise a line appended to /var/msghpplexd.
#pragma once

#include <stdint.h>

extern void* g_msgHandle;         // bus handle of the pass; 0 = no bus
extern unsigned char plexd_seen;  // plexd found running in this process

void notify_plexd(int disk, int partition, uint32_t type);
void send_plexd_msg(int disk, int partition, uint32_t type);
