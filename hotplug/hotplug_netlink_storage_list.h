// Partition list of the storage pass (module hotplug_netlink_storage): built
// from /proc/partitions, completed from /proc/mounts, dumped as a table while
// /var/debug exists. The parsers take text or an open FILE*, so they run on
// any input without touching the system; the steps are thin wrappers that
// open the kernel's tables.
#pragma once

#include <stddef.h>
#include <stdio.h>

#include <string_view>

#include "hotplug/hotplug_netlink_storage_partition.h"

// Line buffers of the two table readers.
#define HP_PARTITIONS_LINE 80
#define HP_MOUNTS_LINE 128

// The steps: build the list (sets *head first; -1 when the table cannot be
// read or a node cannot be allocated), mark what is mounted, dump the list.
int hp_get_partitions(hp_partition** head);
int hp_check_mounts(hp_partition** head);
int hp_dump_partitions(hp_partition* first);

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

// Where /mnt really is, as the kernel's mount table names its mounts:
// "/mnt", or the folder a symbolic link /mnt leads to (/var/mnt on a
// read-only root). `out` holds at least 2 bytes; "/mnt" when it cannot be
// resolved or does not fit.
void hp_real_mnt(char* out, size_t size);

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
// token is cut to fit; nothing reads it. `real_mnt` is where /mnt really is
// (hp_real_mnt): a mount directly under it is a mount under /mnt, and its
// directory is given as "/mnt/<name>", the name the pass made it under.
bool hp_parse_mount_line(std::string_view line, hp_mount_entry* out,
                         std::string_view real_mnt = "/mnt");

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
// read; of a longer line only the first piece is parsed. `real_mnt` as for
// hp_parse_mount_line. Always 0.
int hp_read_mounts(FILE* f, hp_partition** head, hp_is_blockdev_fn is_blockdev,
                   std::string_view real_mnt = "/mnt");

// True when the mount table text lists `path` as a mount point: the second
// field of one of its lines, with its "\ooo" escapes undone (a blank is
// "\040"), equals `path` exactly. Reads to the end of the table or the
// first such line. The fallback of the removal helpers' mount-point check on
// kernels without the statx mount-root attribute.
bool hp_mounts_list_dir(FILE* f, const char* path);

// The deepest mount point strictly below the directory `dir` (one whose
// path, "\ooo" escapes undone, starts with `dir` and a '/') that the mount
// table text lists, into `out` (`size` bytes; a longer one is passed over).
// False when there is none. A mount made inside another is listed after it,
// and the deepest one can be unmounted first.
bool hp_deepest_mount_below(FILE* f, const char* dir, char* out, size_t size);
