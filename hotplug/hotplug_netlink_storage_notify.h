// Storage notifications to plexd (module hotplug_netlink_storage): a bus
// message while plexd runs, otherwise a line appended to /var/msghpplexd.
#pragma once

#include <stdint.h>

extern void* g_msgHandle;         // bus handle of the pass; 0 = none yet
extern unsigned char plexd_seen;  // plexd found running in this process
extern unsigned char plexd_lost;  // a send failed for good: the rest is filed

// Tells plexd of a mount or unmount: on the bus while plexd runs, else (and
// for the rest of the pass once plexd could not be reached) as a line
// "<disk> <partition> <type in hex>" appended to /var/msghpplexd.
void notify_plexd(int disk, int partition, uint32_t type);
// Sends one record on g_msgHandle, connecting first when the pass has no
// handle and once more when the send fails. 0 when sent, -1 when plexd
// could not be reached, -2 when the record could not be allocated.
int send_plexd_msg(int disk, int partition, uint32_t type);
