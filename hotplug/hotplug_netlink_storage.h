// USB storage mount manager: the storage pass and its steps. Every file of
// this module logs as "hotplug_netlink_storage".
#pragma once

#include <stdint.h>

// One partition or mount, rebuilt from the kernel's tables on every pass.
struct hp_partition {
    int32_t major;        // from /proc/partitions; 0 in a node made from /proc/mounts
    int32_t minor;
    char partition[32];   // kernel name (sda1); empty in a node made from /proc/mounts
    char status[12];      // "", "ignore", "mounted", "toumount", "umounted", "mounterr"
    int32_t pos;          // USB root-hub port of the disk; 0 until known
    char dev[128];        // block device node that is or will be mounted
    char path[128];       // mount directory
    hp_partition* next;
};

// Status texts.
#define HP_ST_NEW ""
#define HP_ST_IGNORE "ignore"
#define HP_ST_MOUNTED "mounted"
#define HP_ST_TOUMOUNT "toumount"
#define HP_ST_UMOUNTED "umounted"
#define HP_ST_MOUNTERR "mounterr"

extern hp_partition* hp_partition_list;  // head of the pass's node list
extern void* g_msgHandle;                // bus handle of the pass; 0 = no bus
extern unsigned char plexd_seen;         // plexd found running in this process

// Partition list.
int hp_get_partitions(hp_partition** head);
int hp_check_mounts(hp_partition** head);
int hp_dump_partitions(hp_partition* first);

// USB position and mount-path naming.
int hp_find_disk(char* out, const char* partition);  // out: 32 bytes, in /sys/block
int hp_find_disk_in(const char* sys_block, char* out, const char* partition);
int hp_get_usb_position(hp_partition* list);
int hp_make_mount_path(hp_partition* list, hp_partition* node);
// Tells whether a path exists (the default looks with lstat).
using hp_exists_fn = bool (*)(const char* path);
bool hp_path_exists(const char* path);
// Names the directory of a node that is to be mounted: the name of
// hp_make_mount_path, unless another node's mount holds that directory; then
// the lowest /mnt/usb<pos>_<n> that no node's mount holds and that does not
// exist. 0 with `path` set, -1 when the node is not in the list.
int hp_choose_mount_path(hp_partition* list, hp_partition* node, hp_exists_fn exists);
// True when a mounted node's directory carries its port ("usb<pos>_"), so
// the unmounting step leaves it where it is, whatever its number.
bool hp_mount_path_fits(const hp_partition* node);
int hp_strip_spaces(char* text);
int hp_parse_mount_path(const char* path, int* disk, int* partition);

// Path removal helpers.
int hp_remove_path(const char* path);
int hp_remove_dev_node(const char* path);

// The helpers' mount-point check, in its parts. hp_kernel_mount_root: 1 or
// 0 as the kernel tells (statx mount-root attribute) whether the open
// directory `fd` is the root of a mount, -1 when it cannot tell (kernels
// before 5.8). hp_mount_root: the verdict from a device that differs from
// the parent's, else the kernel's answer, else (answer -1) whether
// /proc/mounts lists `path`.
int hp_kernel_mount_root(int fd);
bool hp_mount_root(bool other_device, int kernel_answer, const char* path);

// Unmounting.
int hp_umount_dir(hp_partition* list);
int hp_umount_one(hp_partition* node);

// Device nodes, mounting and the /mnt sweep.
int hp_mk_dev_node(hp_partition* list);
int hp_rm_unused_dir(hp_partition* list);
int hp_mount_dir(hp_partition* list);
int hp_mount_one(hp_partition* node);

// Notifications to plexd.
void notify_plexd(int disk, int partition, uint32_t type);
void send_plexd_msg(int disk, int partition, uint32_t type);

// Sets the status text of a node.
void hp_set_status(hp_partition* node, const char* status);
