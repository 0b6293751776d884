// Removable media in a disk that stays plugged: the cards of a card reader
// (module hotplug_netlink_storage). The kernel learns of a card pulled or put
// in only by polling the slot, which is off by default; with polling on, a
// change gives one "block" "change" event for the disk and nothing else, and
// the medium and its partitions are read again only when something opens the
// disk.
#pragma once

#include <sys/types.h>

#include <string_view>

#include "hotplug/hotplug_netlink_storage_partition.h"

// How often the kernel asks a slot whether its medium changed, as desktops
// do: a card pulled or put in is seen within this time.
constexpr int HP_MEDIA_POLL_MS = 2000;
// How long the re-read waits for the users of an old medium's released
// mounts to let go (killed processes still ending).
constexpr int HP_MEDIA_RELEASE_WAIT_MS = 2000;

// True when polling should be switched on for a removable disk: its
// `events` file lists media_change or eject_request, its own interval
// (`events_poll_msecs`) is -1 (never set) and the block module's default
// (`events_dfl_poll_msecs`) is 0 (never set either). An interval someone
// has set, on the disk or as the default, is theirs.
bool hp_media_poll_wanted(std::string_view events, std::string_view disk_msecs,
                          std::string_view default_msecs);

// Switches polling on (HP_MEDIA_POLL_MS) for every removable USB disk in
// `sys_block` that hp_media_poll_wanted says should have it.
void hp_enable_media_polling(const char* sys_block = "/sys/block");

// The device number in a sysfs `dev` file ("8:0"). 0, or -1.
int hp_parse_devno(std::string_view text, dev_t* devno);

// True when `name` is the whole disk `disk` or one of its partitions.
bool hp_is_on_disk(const char* name, const char* disk);

// Lets a SCSI disk (a USB reader's slot) take I/O again ("running") or
// refuses all of it ("offline"). False when the disk has no such state or
// it cannot be set.
bool hp_disk_io(const char* disk, bool on);

// What hp_release_disk found.
enum hp_release_result {
    HP_RELEASED = 0,   // every mount of the disk under /mnt is gone (or there was none)
    HP_SYSTEMS = 1,    // the system mounted the disk outside /mnt: none of the pass's
    HP_KEPT = -1,      // a mount could not be released
};
// Releases every mount under /mnt of the disk's partitions (its nodes in
// `list`, "mounted" or "toumount") as a pulled stick's are released: users
// killed, unmounted or detached, node and directory removed, plexd told.
// A disk with mounts to release is taken offline first (hp_disk_io;
// *offline tells), so nothing of the old medium's mounts reaches a new
// medium; hp_reread_disk brings it back.
hp_release_result hp_release_disk(hp_partition* list, const char* disk, bool* offline);

// Waits (HP_MEDIA_RELEASE_WAIT_MS at most) until no partition of the disk is
// held, brings the disk back online when hp_release_disk took it offline,
// then opens it read-only, without waiting for a medium and exclusively,
// and closes it: the kernel reads the medium and its partition table again.
// 0 when it did; 1 when the disk cannot be opened at all (gone, or no
// number for it: nothing to read again); -1 when a partition of it is still
// held (a detached mount whose user did not end), and the table cannot be
// read again.
int hp_reread_disk(const char* disk, bool offline);
