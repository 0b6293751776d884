// Mounting side of the storage pass: the file-system trial table, the guards
// that keep the /mnt sweep away from live file systems, and the pass split
// into its timed work and its fixed waits (the benchmark times the work).
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <cstddef>

#include "hotplug/hotplug_netlink_storage.h"

// One row of the file-system trial list of hp_mount_one.
struct hp_fs_row {
    char fstype[10];
    char data[32];  // mount options; empty = the type's defaults
};
constexpr std::size_t HP_FS_ROWS = 5;
extern const hp_fs_row hp_fs_table[HP_FS_ROWS];

// Room for a command line holding up to two quoted 127-character values.
constexpr std::size_t HP_CMD_LEN = 1100;
// Entry paths of the /mnt sweep: "/mnt/" and a name, at most 79 characters.
constexpr std::size_t HP_MNT_ENTRY_LEN = 80;

// True when a mount point listed in the mount table `mounts` (the format of
// /proc/mounts, octal escapes such as \040 decoded) is `path` itself or lies
// below it. Reads `mounts` to its end.
bool hp_mounts_cover(FILE* mounts, const char* path);

// True when `path` must not be deleted by a sweep: it is a symbolic link, it
// lies on another device than `parent_dev` (a mount point), or /proc/mounts
// lists a mount at or below it (also when /proc/mounts cannot be read).
bool hp_path_in_use(const char* path, dev_t parent_dev);

// True when the directory `path` is a mount point right now (another device
// than its parent, or listed in /proc/mounts).
bool hp_is_mount_point(const char* path);

// The work of one storage pass between its opening and closing waits: the
// eight steps with their trace lines, sync, and freeing the list.
void hp_storage_steps();
