// USB storage mount manager: the storage pass that the dispatch table runs
// (hotplug_storage_handler, hotplug_media_change_handler in
// hotplug_handlers.h) and what it is made of. Every file of this module logs
// as "hotplug_netlink_storage". The pass reads top-down: this coordinator,
// then the steps (list, position, unmount, device nodes and mounting,
// removal, notifications, removable media), then the record they share
// (hotplug_netlink_storage_partition.h).
#pragma once

#include "common/fd.h"
#include "hotplug/hotplug_netlink_storage_partition.h"

extern hp_partition* hp_partition_list;  // head of the pass's node list

// The work of one storage pass between its opening and closing waits: the
// eight steps with their trace lines, sync, and freeing the list (the
// benchmark times it).
void hp_storage_steps();

// The lock that keeps storage passes apart, also across restarts of the
// daemon. A pass waits this long for the one before it with a console line
// only when it begins to wait; past it, it says so and waits on until the
// lock is free (the daemon's supervision, about 2 minutes, ends a pass that
// waits too long). A pass takes about 2 s (its fixed waits) and a few more
// with slow mounts.
constexpr int HP_PASS_LOCK_WAIT_S = 30;
struct HpPassLock {
    enum State { kHeld, kUnlocked } state;
    UniqueFd fd;  // holds the lock while kHeld
};
// kHeld once the lock is ours; kUnlocked when no lock can be had at all
// (the pass then runs as it always did).
HpPassLock hp_take_pass_lock(int wait_s);
