// The storage pass (module hotplug_netlink_storage): rebuilds the picture of
// partitions and mounts from the kernel's tables and brings /mnt in line
// with it. Runs in the package's child process; nothing of it survives the
// pass but what lies in the file system.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "bus/obx_msg.h"
#include "hotplug/hotplug_handlers.h"
#include "hotplug/hotplug_netlink_storage.h"
#include "hotplug/hotplug_netlink_storage_mount.h"
#include "hotplug/hp_log.h"

hp_partition* hp_partition_list = nullptr;

void hp_storage_steps() {
    hp_get_partitions(&hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_get_partitions:\n");
    hp_dump_partitions(hp_partition_list);

    hp_check_mounts(&hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_check_mounts:\n");
    hp_dump_partitions(hp_partition_list);

    hp_get_usb_position(hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_get_usb_position:\n");
    hp_dump_partitions(hp_partition_list);

    hp_umount_dir(hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_umount_dir:\n");
    hp_dump_partitions(hp_partition_list);

    hp_mk_dev_node(hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_mk_dev_node:\n");
    hp_dump_partitions(hp_partition_list);

    hp_rm_unused_dir(hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_rm_unused_dir:\n");
    hp_dump_partitions(hp_partition_list);

    hp_mount_dir(hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_mount_dir:\n");
    hp_dump_partitions(hp_partition_list);

    hp_rm_unused_dir(hp_partition_list);
    HP_DLOG(HP_MOD_STORAGE, "hp_rm_unused_dir:\n");
    hp_dump_partitions(hp_partition_list);

    sync();

    while (hp_partition* node = hp_partition_list) {
        hp_partition_list = node->next;
        free(node);
    }
}

int hotplug_storage_handler() {
    int ret = obxMsg_init(EID_HOTPLUG, &g_msgHandle);
    if (ret != 0) {
        if (FILE* console = fopen("/dev/console", "w")) {
            fprintf(console, "obxMsg_init error ret=%d", ret);
            fclose(console);
        }
        g_msgHandle = nullptr;
    }
    sleep(1);
    usleep(500);

    hp_storage_steps();

    if (g_msgHandle) {
        sleep(1);
        obxMsg_cleanup(&g_msgHandle);
    }
    return 0;
}
