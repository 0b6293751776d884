// Device nodes, mounting and the /mnt sweep (module hotplug_netlink_storage):
// the file-system trial table and the steps that bring new partitions into
// use and keep /mnt clean.
#pragma once

#include <cstddef>

#include "hotplug/hotplug_netlink_storage_partition.h"

// One row of the file-system trial list of hp_mount_one.
struct hp_fs_row {
    char fstype[10];
    char data[32];  // mount options; empty = the type's defaults
};
constexpr std::size_t HP_FS_ROWS = 7;
extern const hp_fs_row hp_fs_table[HP_FS_ROWS];

// Room for a command line holding up to two quoted 127-character values.
constexpr std::size_t HP_CMD_LEN = 1100;
// Entry paths of the /mnt sweep: "/mnt/" and a name of up to 255 bytes.
constexpr std::size_t HP_MNT_ENTRY_LEN = 5 + 255 + 1;

// A block node /var/dev/<partition> for every new node (nodes in /dev when
// /var/dev cannot be made). Always 0.
int hp_mk_dev_node(hp_partition* list);
// Deletes every /mnt entry that is not the directory of a mounted node. 0,
// or -1 when /mnt is not a directory or cannot be read.
int hp_rm_unused_dir(hp_partition* list);
// Names, creates and mounts a directory for every new node. Always 0.
int hp_mount_dir(hp_partition* list);
// Mounts one node (each row of the table, then ntfs-3g) and tells plexd.
// 0 when mounted, -1 when every way failed.
int hp_mount_one(hp_partition* node);
