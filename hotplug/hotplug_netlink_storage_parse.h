// Pure parsers of the storage pass: the lines of /proc/partitions and
// /proc/mounts, the first line of the resolved device path, a `removable`
// file and a mount directory name. None of them touches the system; the
// list builders take an open FILE* so that they run on any text.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <string_view>

#include "hotplug/hotplug_netlink_storage.h"

// Small text helpers shared by the parsers (inline: the daemon links no
// C++ runtime).
namespace hp_text {

constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline void skip_space(std::string_view& s) {
    size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    s.remove_prefix(i);
}

// The next whitespace-separated token (empty at the end); `s` moves past it.
inline std::string_view take_token(std::string_view& s) {
    skip_space(s);
    size_t n = 0;
    while (n < s.size() && !is_space(s[n])) ++n;
    std::string_view tok(s.data(), n);
    s.remove_prefix(n);
    return tok;
}

// An optionally signed decimal number after optional whitespace, as "%d"
// reads it. False (and `s` unchanged) when no digit follows or the value
// lies outside [lo, hi]; otherwise `s` moves past the digits.
bool take_number(std::string_view& s, long long lo, long long hi, long long* out);

}  // namespace hp_text

// Line buffers of the two table readers.
#define HP_PARTITIONS_LINE 80
#define HP_MOUNTS_LINE 128

// Reads one line into `buf` (at most size-1 bytes, the line end included
// when it fits, NUL-terminated). The rest of a longer line is read and
// dropped, and *cut is set. Returns false at end of file with nothing read.
bool hp_read_line(FILE* f, char* buf, size_t size, bool* cut);

// Fills `node` from one /proc/partitions line "major minor blocks name".
// Fields are filled in order until one does not parse. The node is marked
// "ignore" when the block count is 1, when the name is missing, too long for
// the field (or cut off with the line), or does not end in a digit.
// `cut` tells that the line was longer than the text given. `whole_disk`,
// when given, tells whether the line names a whole disk: a complete line
// whose name (kept whole) does not end in a digit, of more than one block.
void hp_parse_partition_line(std::string_view line, bool cut, hp_partition* node,
                             bool* whole_disk = nullptr);

// Builds the list from /proc/partitions text: two header lines, then one
// zero-filled node per line, in order. Sets *head first. A whole disk none
// of whose partitions (its name followed by digits) is listed carries a file
// system of its own: it is kept (empty status) like a partition; any other
// whole disk is "ignore". 0, or -1 when a node cannot be allocated (the
// nodes so far stay in the list).
int hp_read_partitions(FILE* f, hp_partition** head);

// True when `name` is `disk` followed by one or more digits only.
bool hp_is_partition_of(const char* name, const char* disk);

// True for a directory directly under /mnt ("/mnt/<name>", no further
// '/'): the only places the storage pass mounts, unmounts or sweeps. A mount
// anywhere else belongs to the system (its root, a data disk at /srv) and
// is left exactly as it is.
bool hp_is_mnt_entry(std::string_view dir);

// The three leading tokens of a /proc/mounts line.
struct hp_mount_entry {
    char dev[32];
    char dir[32];    // cut to fit when the mount is the system's
    char type[10];
    bool system;     // mounted outside /mnt (hp_is_mnt_entry is false)
};

// Parses one /proc/mounts line. False when the line is to be skipped: a
// missing device or mount-point token, a device token too long for its 32
// bytes, a pseudo or network device (by name), a device with '=' or without
// a '/', or one whose base name is empty; and, for a mount directly under
// /mnt, a missing type token (a cut line) or a mount point too long for its
// 32 bytes. A mount elsewhere is kept whatever the length of its directory
// (cut to fit) so that its partition is known to be the system's. The type
// token is cut to fit; nothing reads it.
bool hp_parse_mount_line(std::string_view line, hp_mount_entry* out);

// Text behind the last '/' of `dev` (all of it when there is none).
const char* hp_base_name(const char* dev);

// Tells whether a path names a block device; the default follows the path
// with stat.
using hp_is_blockdev_fn = bool (*)(const char* path);
bool hp_stat_is_blockdev(const char* path);

// Applies /proc/mounts text to the list: a partition found mounted directly
// under /mnt becomes "mounted" (the first node of that name, the last line
// wins); one mounted anywhere else becomes "ignore" for good, with that
// mount's `dev` and `path`, so no step touches it; a mount directly under
// /mnt of a block device that is not in the list is appended as
// "toumount" (a vanished device mounted elsewhere is left alone). The text
// is read in pieces of the 128-byte line buffer, each traced (debug only) as
// read; of a longer line only the first piece is parsed. Always 0.
int hp_read_mounts(FILE* f, hp_partition** head, hp_is_blockdev_fn is_blockdev);

// True when the mount table text lists `path` as a mount point: the second
// field of one of its lines, with its "\ooo" escapes undone (a blank is
// "\040"), equals `path` exactly. Reads to the end of the table or the
// first such line. The fallback of the removal helpers' mount-point check on
// kernels without the statx mount-root attribute.
bool hp_mounts_list_dir(FILE* f, const char* path);

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
