// USB position of each partition's disk and the mount directory names
// /mnt/usb<port>_<n> built from it (module hotplug_netlink_storage).
#pragma once

#include <string_view>

#include "hotplug/hotplug_netlink_storage_partition.h"

// The step: sets `pos` of every new or mounted node from its disk's port;
// a node whose disk cannot be examined becomes "ignore". Always 0.
int hp_get_usb_position(hp_partition* list);

// The disk of a partition: the /sys/block entry that is the partition
// itself or whose name followed by digits only is the partition's name.
// 0 with the name in `out` (32 bytes), or -1.
int hp_find_disk(char* out, const char* partition);
int hp_find_disk_in(const char* sys_block, char* out, const char* partition);

// "/mnt/usb<pos>_<n>" into the node's `path`, n counting the mounted nodes
// of the same port ahead of it, plus one. 0, or -1 when the node is not in
// the list.
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
// Removes every whitespace character in place. Always 0.
int hp_strip_spaces(char* text);
// Disk and partition numbers of a mount directory, with the console lines
// of a name that is not ".../usb<disk>_<partition>". 0, or -1.
int hp_parse_mount_path(const char* path, int* disk, int* partition);

// Port number out of the resolved device directory of a disk, for example
// /sys/devices/platform/ehci/usb1/1-2/1-2:1.0/... gives 2: the number behind
// the '-' of the segment after the first "usb" segment.
// 0 with *pos set; -1 when the text holds no "usb"; -2 when the '/', '-' or
// the '/' ending the port is missing, or the number does not fit an int.
int hp_parse_usb_position(std::string_view line, int* pos);

// Leading decimal number of a sysfs `removable` file. 0, or -1 without one.
int hp_parse_removable(std::string_view text, int* value);

// Disk and partition numbers of a mount directory ".../usb<disk>_<part>".
// 0 with both set; -1 without "usb" (nothing set); -2 without a '_' behind
// it (disk set). A missing number reads as 0.
int hp_split_mount_path(std::string_view path, int* disk, int* partition);
