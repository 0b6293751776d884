// Mounting side of the storage pass: the file-system trial table, and the
// pass split into its timed work and its fixed waits (the benchmark times
// the work).
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
constexpr std::size_t HP_FS_ROWS = 7;
extern const hp_fs_row hp_fs_table[HP_FS_ROWS];

// Room for a command line holding up to two quoted 127-character values.
constexpr std::size_t HP_CMD_LEN = 1100;
// Entry paths of the /mnt sweep: "/mnt/" and a name of up to 255 bytes.
constexpr std::size_t HP_MNT_ENTRY_LEN = 5 + 255 + 1;

// The work of one storage pass between its opening and closing waits: the
// eight steps with their trace lines, sync, and freeing the list.
void hp_storage_steps();
