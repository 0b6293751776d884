// Device nodes, mounting and the /mnt sweep (module hotplug_netlink_storage).
#include "hotplug/hotplug_netlink_storage_mount.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "bus/obx_msg.h"
#include "common/fd.h"
#include "common/shell_quote.h"
#include "hotplug/hotplug_netlink_lib.h"
#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_notify.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_rm.h"
#include "hotplug/hp_log.h"

// Tried in this order; ntfs-3g comes after the last row. ext4 and exfat
// stand behind the older rows, so whatever one of those mounted is mounted
// by it still; they are tried only when all of them failed.
// FAT mounts with "flush": a file is sent to the stick when it is closed,
// not up to 30 s later by the kernel's writeback, so a copy that has ended
// is on the stick when the user pulls it (without it the file is lost and
// the FAT may point at clusters never written).
const hp_fs_row hp_fs_table[HP_FS_ROWS] = {
    {"vfat", "flush"}, {"msdos", "flush"}, {"ext3", ""}, {"ext2", ""}, {"iso9660", ""}, {"ext4", ""}, {"exfat", ""},
};

namespace {

constexpr std::size_t kQuotedLen = shell_quoted_size(127) + 1;

}  // namespace

// Gives every new partition a block device node of its own under /var/dev,
// or falls back to the nodes in /dev when /var/dev cannot be made.
int hp_mk_dev_node(hp_partition* list) {
    const char* dir = "/var/dev";
    if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
        HP_LOG(HP_MOD_STORAGE, "mkdir failed:/var/dev");
        dir = "/dev";
    }
    for (hp_partition* node = list; node; node = node->next) {
        if (node->status[0] != '\0') continue;
        snprintf(node->dev, sizeof(node->dev), "%s/%s", dir, node->partition);
        if (!strstr(node->dev, "/var/dev") || access(node->dev, F_OK) == 0) continue;
        HP_DLOG(HP_MOD_STORAGE, "mknod:%s\n", node->dev);
        // makedev: the classic (major << 8) | minor for minors below 256, and
        // still the right device for larger minors.
        dev_t devno = makedev((unsigned)node->major, (unsigned)node->minor);
        if (mknod(node->dev, S_IFBLK | 0777, devno) != 0)
            HP_LOG(HP_MOD_STORAGE, "mknod failed,%s", node->dev);
    }
    return 0;
}

namespace {

// True when /mnt (or the folder it leads to) is itself the root of a mount
// of anything but a memory file system: a disk mounted at /mnt is someone's
// files, and no entry of it is the pass's to sweep. A tmpfs or ramfs there
// is the system's scratch for mount directories, swept as a plain /mnt is.
bool mnt_is_a_disk() {
    UniqueFd fd(open("/mnt", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return false;
    struct stat st, parent;
    struct statfs fs;
    if (fstat(fd.get(), &st) != 0 || fstatat(fd.get(), "..", &parent, 0) != 0 || fstatfs(fd.get(), &fs) != 0)
        return false;
    // f_type is a signed long of the target's width: compare the 32 bits.
    const uint32_t type = (uint32_t)fs.f_type;
    if (type == (uint32_t)TMPFS_MAGIC || type == (uint32_t)RAMFS_MAGIC) return false;
    char real[128];
    hp_real_mnt(real, sizeof(real));
    return hp_mount_root(st.st_dev != parent.st_dev, hp_kernel_mount_root(fd.get()), real);
}

}  // namespace

// Deletes every /mnt entry that is not the directory of a mounted partition.
// hp_remove_path never deletes through a symbolic link (the link itself goes)
// nor anything of a file system still mounted at or below the entry.
int hp_rm_unused_dir(hp_partition* list) {
    struct stat mst;
    if (stat("/mnt", &mst) != 0 || !S_ISDIR(mst.st_mode)) {
        HP_DLOG(HP_MOD_STORAGE, "%s not exist\n", "/mnt");
        return -1;
    }
    if (mnt_is_a_disk()) {
        HP_DLOG(HP_MOD_STORAGE, "a disk is mounted at /mnt: nothing of it is swept\n");
        return 0;
    }
    DirHandle dir("/mnt");
    if (!dir) {
        HP_DLOG(HP_MOD_STORAGE, "can not open %s\n", "/mnt");
        return -1;
    }
    while (struct dirent* ent = dir.next()) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
        // Room for any entry name: a name longer than a node's directory
        // can be is claimed by none and deleted like any other entry.
        char entry[HP_MNT_ENTRY_LEN];
        int n = snprintf(entry, sizeof(entry), "/mnt/%s", ent->d_name);
        if (n < 0 || (size_t)n >= sizeof(entry)) continue;
        // A symbolic link is left in place: whatever it points at lies
        // outside /mnt and is not the pass's to clean up.
        struct stat est;
        if (lstat(entry, &est) == 0 && S_ISLNK(est.st_mode)) continue;
        bool claimed = false;
        for (hp_partition* node = list; node && !claimed; node = node->next)
            claimed = strcmp(node->status, HP_ST_MOUNTED) == 0 && strcmp(node->path, entry) == 0;
        // A live mount point is never emptied: the tree removal stops at it
        // and reports it as a directory it could not remove.
        if (!claimed) hp_remove_path(entry);
    }
    return 0;
}

// Names, creates and mounts a directory for every new partition.
int hp_mount_dir(hp_partition* list) {
    for (hp_partition* node = list; node; node = node->next) {
        if (node->status[0] != '\0') continue;
        HP_DLOG(HP_MOD_STORAGE, "try to mount. status=%s m_path=%s dev=%s\n", node->status,
                node->path, node->dev);
        hp_choose_mount_path(list, node, hp_path_exists);
        if (access(node->path, F_OK) == 0) {
            HP_LOG(HP_MOD_STORAGE, "the mount dir is exist!\n");
            continue;
        }
        if (mkdir(node->path, 0777) != 0) {
            HP_DLOG(HP_MOD_STORAGE, "mkdir failed:%s\n", node->path);
            continue;
        }
        if (hp_mount_one(node) == 0) {
            hp_set_status(node, HP_ST_MOUNTED);
        } else {
            HP_LOG(HP_MOD_STORAGE, "mount failed! %s\n", node->dev);
            node->dev[0] = '\0';
            node->path[0] = '\0';
            hp_set_status(node, HP_ST_MOUNTERR);
        }
    }
    return 0;
}

namespace {

// Tells plexd that the mount numbered by its directory has come.
void notify_mounted(const char* path) {
    HP_DLOG(HP_MOD_STORAGE, "Try to sent mount info to plexd\n");
    int disk = 0;
    int partition = 0;
    if (hp_parse_mount_path(path, &disk, &partition) != 0) return;
    if (partition == 1) notify_plexd(disk, 0, MSG_STORAGE_DISK_ADDED);
    notify_plexd(disk, partition, MSG_STORAGE_PART_MOUNTED);
}

}  // namespace

// Mounts one node: each type of the table in turn (read-only when the medium
// refuses writing), then the ntfs-3g driver.
int hp_mount_one(hp_partition* node) {
    for (const hp_fs_row& row : hp_fs_table) {
        HP_DLOG(HP_MOD_STORAGE, "mount(%s,%s,%s,flag,%s);\n", node->dev, node->path, row.fstype,
                row.data);
        int r = mount(node->dev, node->path, row.fstype, 0, row.data);
        // A write-protected medium answers EROFS, or EACCES when the block
        // device itself is read-only.
        if (r != 0 && (errno == EROFS || errno == EACCES)) {
            HP_LOG(HP_MOD_STORAGE, "%s is write-protected, mounting read-only", node->dev);
            r = mount(node->dev, node->path, row.fstype, MS_RDONLY, row.data);
        }
        if (r == 0) {
            notify_mounted(node->path);
            return 0;
        }
        HP_DLOG(HP_MOD_STORAGE, "mount failed:%s,%s, %s\n", node->dev, node->path, row.fstype);
        usleep(100);
    }

    if (access(node->path, F_OK) != 0 && mkdir(node->path, 0777) != 0) {
        HP_BARE("mkdir failed:%s\n", node->path);
        return -1;
    }
    char qdev[kQuotedLen];
    char qpath[kQuotedLen];
    char cmd[HP_CMD_LEN];
    shell_quote(qdev, node->dev);
    shell_quote(qpath, node->path);
    snprintf(cmd, sizeof(cmd), "ntfs-3g %s %s -o force", qdev, qpath);
    if (zorsystem(cmd) != 0) {
        hp_remove_path(node->path);
        hp_remove_dev_node(node->dev);
        return -1;
    }
    notify_mounted(node->path);
    return 0;
}
