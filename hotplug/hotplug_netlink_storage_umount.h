// Unmounting (module hotplug_netlink_storage): releases mounts whose disk has
// gone and mounts that sit under another port's directory.
#pragma once

#include "hotplug/hotplug_netlink_storage_partition.h"

// The step: unmounts every "toumount" node and every "mounted" node whose
// directory does not carry its port (those are mounted again by the
// mounting step). Always 0.
int hp_umount_dir(hp_partition* list);
// Clears the way, force-unmounts (a "toumount" mount that stays busy is
// detached), removes the node and the directory and tells plexd. 0 when the
// mount is gone, -1 when it stays.
int hp_umount_one(hp_partition* node);
