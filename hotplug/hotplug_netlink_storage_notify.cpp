// Storage notifications to plexd: a bus message while plexd runs, otherwise
// a line appended to /var/msghpplexd.
#include "hotplug/hotplug_netlink_storage_notify.h"

#include <stdio.h>
#include <string.h>

#include "bus/obx_msg.h"
#include "hotplug/hotplug_netlink_lib.h"
#include "hotplug/hp_log.h"

void* g_msgHandle = nullptr;
unsigned char plexd_seen = 0;
unsigned char plexd_lost = 0;

namespace {

void file_record(int disk, int partition, uint32_t type) {
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "echo %d %d %x >>/var/msghpplexd", disk, partition, (unsigned)type);
    HP_BARE("%s\n", cmd);
    zorsystem(cmd);
}

}  // namespace

void notify_plexd(int disk, int partition, uint32_t type) {
    if (!plexd_lost) {
        if (!plexd_seen) {
            // plexd itself, not any process that names it on its command
            // line (`tail -f /var/msghpplexd` while plexd is down): taking
            // such a process for plexd would drop the record instead of
            // filing it.
            if (find_pid_by_program("plexd") == 0) {
                file_record(disk, partition, type);
                return;
            }
            plexd_seen = 1;
        }
        int r = send_plexd_msg(disk, partition, type);
        if (r != -1) return;  // sent, or dropped for want of memory
        // plexd went away (a restart of the daemons) and could not be
        // reached again: this record and the rest of the pass are filed,
        // where plexd reads them when it starts, rather than lost.
        plexd_lost = 1;
        HP_LOG(HP_MOD_STORAGE, "plexd can not be reached: the records of this pass go to /var/msghpplexd\n");
    }
    file_record(disk, partition, type);
}

int send_plexd_msg(int disk, int partition, uint32_t type) {
    // A pass that began while plexd was not there (being restarted, say)
    // connects once plexd runs.
    if (!g_msgHandle && obxMsg_init(EID_HOTPLUG, &g_msgHandle) != 0) {
        g_msgHandle = nullptr;
        return -1;
    }
    constexpr uint32_t kSize = sizeof(BusMsgHeader) + sizeof(StorageEventPayload);
    unsigned char* msg = static_cast<unsigned char*>(obxMem_alloc(kSize, 1));
    if (!msg) return -2;  // this notification is dropped

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
    int r = 0;
    if (obxMsg_send(g_msgHandle, m) != 0) {
        // plexd was restarted since the pass connected (a pass outlives a
        // restart of the daemons): the connection is dead. Connect afresh,
        // once, and send it again.
        obxMsg_cleanup(&g_msgHandle);
        if (obxMsg_init(EID_HOTPLUG, &g_msgHandle) != 0) {
            g_msgHandle = nullptr;
            r = -1;
        } else if (obxMsg_send(g_msgHandle, m) != 0) {
            r = -1;
        }
    }
    obxMem_free(msg);
    return r;
}
