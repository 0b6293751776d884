// Mounting side of the storage pass: the file-system trial table, and the
// pass split into its timed work and its fixed waits (the benchmark times
// the work).
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <cstddef>

#include "common/fd.h"
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

// The lock that keeps storage passes apart, also across restarts of the
// daemon. A pass waits at most this long for the one before it: a pass
// takes about 2 s (its fixed waits) and a few more with slow mounts, far
// less than the daemon's supervision gives a package (about 2 minutes).
constexpr int HP_PASS_LOCK_WAIT_S = 30;
struct HpPassLock {
    enum State { kHeld, kUnlocked, kBusy } state;
    UniqueFd fd;  // holds the lock while kHeld
};
// kHeld once the lock is ours; kBusy when another pass still holds it after
// `wait_s` seconds; kUnlocked when no lock can be had at all (the pass then
// runs as it always did).
HpPassLock hp_take_pass_lock(int wait_s);
