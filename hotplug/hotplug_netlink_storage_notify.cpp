// Storage notifications to plexd: a bus message while plexd runs, otherwise
// a line appended to /var/msghpplexd.
#include <stdio.h>
#include <string.h>

#include "bus/obx_msg.h"
#include "hotplug/hotplug_netlink_lib.h"
#include "hotplug/hotplug_netlink_storage_notify.h"
#include "hotplug/hp_log.h"

void* g_msgHandle = nullptr;
unsigned char plexd_seen = 0;

void notify_plexd(int disk, int partition, uint32_t type) {
    if (!plexd_seen) {
        // plexd itself, not any process that names it on its command line
        // (`tail -f /var/msghpplexd` while plexd is down): taking such a
        // process for plexd would drop the record instead of filing it.
        if (find_pid_by_program("plexd") == 0) {
            char cmd[128];
            snprintf(cmd, sizeof(cmd), "echo %d %d %x >>/var/msghpplexd", disk, partition,
                     (unsigned)type);
            HP_BARE("%s\n", cmd);
            zorsystem(cmd);
            return;
        }
        plexd_seen = 1;
    }
    send_plexd_msg(disk, partition, type);
}

void send_plexd_msg(int disk, int partition, uint32_t type) {
    if (!g_msgHandle) return;
    constexpr uint32_t kSize = sizeof(BusMsgHeader) + sizeof(StorageEventPayload);
    unsigned char* msg = static_cast<unsigned char*>(obxMem_alloc(kSize, 1));
    if (!msg) return;  // this notification is dropped

    BusMsgHeader hdr;
    memcpy(&hdr, msg, sizeof(hdr));
    hdr.type = type;
    hdr.src = EID_HOTPLUG;
    hdr.dst = EID_PLEXD;
    hdr.flags |= OBX_MSG_FLAG_EVENT;
    hdr.dataLength = sizeof(StorageEventPayload);
    memcpy(msg, &hdr, sizeof(hdr));
    StorageEventPayload payload;
    payload.disk = disk;
    payload.partition = partition;
    memcpy(msg + sizeof(BusMsgHeader), &payload, sizeof(payload));

    HP_BARE("hotplug to plexd part=%d_%d msg=%08xH\n", disk, partition, (unsigned)type);
    const BusMsgHeader* m = reinterpret_cast<const BusMsgHeader*>(msg);
    if (obxMsg_send(g_msgHandle, m) != 0) {
        // plexd was restarted since the pass connected (a pass outlives a
        // restart of the daemons): the connection is dead, and the record
        // would be lost. Connect afresh, once, and send it again.
        obxMsg_cleanup(&g_msgHandle);
        if (obxMsg_init(EID_HOTPLUG, &g_msgHandle) == 0)
            obxMsg_send(g_msgHandle, m);
        else
            g_msgHandle = nullptr;
    }
    obxMem_free(msg);
}
