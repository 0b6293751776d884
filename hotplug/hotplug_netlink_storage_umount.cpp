// Unmounting (module hotplug_netlink_storage): releases mounts whose disk has
// gone and mounts that sit under another port's directory.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include "bus/obx_msg.h"
#include "common/shell_quote.h"
#include "hotplug/hotplug_netlink_lib.h"
#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_notify.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_rm.h"
#include "hotplug/hotplug_netlink_storage_umount.h"
#include "hotplug/hp_log.h"

int hp_umount_dir(hp_partition* list) {
    for (hp_partition* node = list; node; node = node->next) {
        if (strcmp(node->status, HP_ST_MOUNTED) == 0) {
            // Only the port is compared: a partition mounted under another
            // number of its port (the lowest free one, when its counted
            // name was taken) stays.
            if (hp_mount_path_fits(node)) continue;
            HP_LOG(HP_MOD_STORAGE, "mount path is error:position:%d %s\n", (int)node->pos,
                   node->path);
            if (hp_umount_one(node) == 0) {
                // Mounted again under the right name later in this pass.
                node->status[0] = '\0';
            } else {
                HP_LOG(HP_MOD_STORAGE, "can not umount:%s\n", node->path);
            }
        } else if (strcmp(node->status, HP_ST_TOUMOUNT) == 0) {
            hp_umount_one(node);
        }
    }
    return 0;
}

namespace {

// A lazy detach takes every mount below the directory with it. A mount that
// someone else made inside a stick's directory (a loop image kept on the
// stick, a bind) is the system's: it is unmounted first, plainly, so that
// it ends cleanly and visibly; when it is busy, the stick's mount is left
// as it is (false), and the next pass tries again.
bool unmount_what_lies_inside(const char* dir) {
    char real[PATH_MAX];
    if (!realpath(dir, real)) snprintf(real, sizeof(real), "%s", dir);
    for (int n = 0; n < 64; ++n) {  // far more mounts than one stick ever holds
        char inner[PATH_MAX];
        FILE* f = fopen("/proc/mounts", "re");
        if (!f) return false;
        bool found = hp_deepest_mount_below(f, real, inner, sizeof(inner));
        fclose(f);
        if (!found) return true;
        if (umount2(inner, 0) != 0) {
            HP_LOG(HP_MOD_STORAGE, "%s stays mounted: %.600s, mounted inside it, is busy\n", dir, inner);
            return false;
        }
        HP_LOG(HP_MOD_STORAGE, "%.600s was mounted inside %s: unmounted first\n", inner, dir);
    }
    return false;
}

}  // namespace

// Clears the way (processes on the mount, the FTP server, the mount's own
// ntfs-3g driver), force-unmounts, removes the node and the directory and
// tells plexd.
int hp_umount_one(hp_partition* node) {
    // "fuser -k -m " and the quoted path, the longest text the buffer holds.
    constexpr std::size_t kQuoted = shell_quoted_size(sizeof(node->path) - 1) + 1;
    char cmd[12 + kQuoted];
    char qpath[kQuoted];
    shell_quote(qpath, node->path);

    snprintf(cmd, sizeof(cmd), "fuser -k -m %s", qpath);
    zorsystem(cmd);
    usleep(100);

    if (find_pid_by_name("bftpd") != 0) zorsystem("killall -9 bftpd");
    usleep(100);

    // ntfs-3g runs as "ntfs-3g <dev> <dir> -o force"; its flattened command
    // line ends in the directory followed by "-oforce".
    snprintf(cmd, sizeof(cmd), "%s-oforce", node->path);
    int pid = find_pid_by_name(cmd);
    if (pid != 0) {
        snprintf(cmd, sizeof(cmd), "kill -9 %d", pid);
        zorsystem(cmd);
    }
    usleep(100);

    HP_DLOG(HP_MOD_STORAGE, "start to umount:%s\n", node->path);
    if (umount2(node->path, MNT_FORCE) != 0) {
        HP_BARE("umount failed:%s %s", node->path, cmd);
        // A partition still present keeps its mount (and is tried again by
        // the next pass). One whose disk has gone never comes back under
        // this mount, and kept there it would hold the port's name for
        // good: it is detached lazily, so the name is free now and the file
        // system ends when its last user lets go. The directory left behind
        // is empty; the clean-up below goes on as after an unmount. Only a
        // directory of /mnt is ever detached (the list holds no other
        // mounts to unmount; the check stays as a guard), and never with a
        // mount someone else made inside it.
        if (strcmp(node->status, HP_ST_TOUMOUNT) != 0 || !hp_is_mnt_entry(node->path) ||
            !unmount_what_lies_inside(node->path))
            return -1;
        if (umount2(node->path, MNT_FORCE) != 0) {
            if (umount2(node->path, MNT_DETACH) != 0) return -1;
            HP_LOG(HP_MOD_STORAGE, "%s detached, its users keep it until they let go\n", node->path);
        }
    }

    // Only a node under /var/dev, one that the pass made itself.
    hp_remove_dev_node(node->dev);
    usleep(200);
    // A second file system stacked on the same directory keeps it (the
    // removal never enters a live mount).
    hp_remove_path(node->path);
    hp_set_status(node, HP_ST_UMOUNTED);

    HP_DLOG(HP_MOD_STORAGE, "Try to sent unount info to plexd\n");
    int disk = 0;
    int partition = 0;
    if (hp_parse_mount_path(node->path, &disk, &partition) == 0) {
        notify_plexd(disk, partition, MSG_STORAGE_PART_UNMOUNTED);
        if (partition == 1) notify_plexd(disk, 0, MSG_STORAGE_DISK_REMOVED);
    }
    return 0;
}
