// USB position of each partition's disk and the mount directory names
// /mnt/usb<port>_<n> built from it.
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/fd.h"
#include "common/shell_quote.h"
#include "hotplug/hotplug_netlink_lib.h"
#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_text.h"
#include "hotplug/hp_log.h"

namespace {

constexpr const char* kPositionFile = "/var/.usbposition";

// The number at the start of `s` as atoi reads it (0 without digits); false
// when it does not fit an int.
bool atoi_like(std::string_view s, int* out) {
    long long v = 0;
    std::string_view t = s;
    hp_text::skip_space(t);
    bool has_digit = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) has_digit = t.size() > 1 && t[1] >= '0' && t[1] <= '9';
    else has_digit = !t.empty() && t[0] >= '0' && t[0] <= '9';
    if (!has_digit) {
        *out = 0;
        return true;
    }
    if (!hp_text::take_number(t, INT32_MIN, INT32_MAX, &v)) return false;
    *out = (int)v;
    return true;
}

// Unsigned decimal digits at the start of `s` (0 without any), saturating.
int leading_digits(std::string_view s) {
    long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') break;
        v = v * 10 + (c - '0');
        if (v > INT32_MAX) v = INT32_MAX;
    }
    return (int)v;
}

}  // namespace

int hp_parse_usb_position(std::string_view line, int* pos) {
    size_t at = line.find("usb");
    if (at == std::string_view::npos) return -1;
    size_t slash = line.find('/', at);
    if (slash == std::string_view::npos) return -2;
    size_t dash = line.find('-', slash + 1);
    if (dash == std::string_view::npos) return -2;
    size_t end = line.find('/', dash + 1);
    if (end == std::string_view::npos) return -2;
    int port = 0;
    if (!atoi_like(std::string_view(line.data() + dash + 1, end - dash - 1), &port)) return -2;
    *pos = port;
    return 0;
}

int hp_parse_removable(std::string_view text, int* value) {
    long long v = 0;
    if (!hp_text::take_number(text, INT32_MIN, INT32_MAX, &v)) return -1;
    *value = (int)v;
    return 0;
}

int hp_split_mount_path(std::string_view path, int* disk, int* partition) {
    size_t at = path.find("usb");
    if (at == std::string_view::npos) return -1;
    std::string_view rest(path.data() + at + 3, path.size() - at - 3);
    *disk = leading_digits(rest);
    size_t us = rest.find('_');
    if (us == std::string_view::npos) return -2;
    *partition = leading_digits(std::string_view(rest.data() + us + 1, rest.size() - us - 1));
    return 0;
}

// The disk of a partition: the first entry of `sys_block` (in directory
// order) that is the partition itself (a disk without a partition table) or
// whose name followed by digits only is the partition's name. A containment
// test would give sdaa1 the disk sda when that entry came first.
int hp_find_disk_in(const char* sys_block, char* out, const char* partition) {
    DirHandle dir(sys_block);
    if (!dir) {
        HP_DLOG(HP_MOD_STORAGE, "can not open %s\n", sys_block);
        return -1;
    }
    while (struct dirent* ent = dir.next()) {
        size_t len = strlen(ent->d_name);
        if (len >= 32) continue;  // no room in the caller's buffer
        if (strcmp(partition, ent->d_name) == 0 || hp_is_partition_of(partition, ent->d_name)) {
            memcpy(out, ent->d_name, len + 1);
            return 0;
        }
    }
    HP_DLOG(HP_MOD_STORAGE, "can not find the disk the partition[%s] is reside in\n", partition);
    return -1;
}

int hp_find_disk(char* out, const char* partition) { return hp_find_disk_in("/sys/block", out, partition); }

namespace {

void ignore_node(hp_partition* node) {
    hp_set_status(node, HP_ST_IGNORE);
    HP_DLOG(HP_MOD_STORAGE, "ignore the partition:%s\n", node->partition);
}

// Reads the `removable` flag of a disk; -1 (node marked "ignore") when it
// cannot be read.
int read_removable(hp_partition* node, const char* disk, int* removable) {
    char path[80];
    if (snprintf(path, sizeof(path), "/sys/block/%s/removable", disk) >= (int)sizeof(path)) {
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    HP_DLOG(HP_MOD_STORAGE, "path=%s\n", path);
    if (access(path, F_OK) != 0) {
        HP_DLOG(HP_MOD_STORAGE, "not block dev %s\n", path);
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    FILE* f = fopen(path, "r");
    if (!f) {
        HP_LOG(HP_MOD_STORAGE, "can not open %s\n", path);
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    char text[32];
    size_t got = fread(text, 1, sizeof(text) - 1, f);
    fclose(f);
    if (hp_parse_removable(std::string_view(text, got), removable) != 0) {
        // No number in it: passed over like a disk that cannot be examined.
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    return 0;
}

// Resolves the disk's device directory through the shell and cuts the port
// out of it; -1 (node marked "ignore") on any failure.
int read_position(hp_partition* node, const char* disk, int* pos) {
    char path[80];
    if (snprintf(path, sizeof(path), "/sys/block/%s/device", disk) >= (int)sizeof(path)) {
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    HP_DLOG(HP_MOD_STORAGE, "path=%s\n", path);
    char quoted[shell_quoted_size(sizeof(path))];
    char cmd[128];
    // pwd -P: a plain pwd may print the logical path, which still holds the
    // symbolic link instead of the USB bus and port segments.
    if (shell_quote(quoted, path) < 0 ||
        snprintf(cmd, sizeof(cmd), "cd %s; pwd -P>%s", quoted, kPositionFile) >= (int)sizeof(cmd)) {
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    unlink(kPositionFile);  // never read what an earlier, interrupted pass left
    zorsystem(cmd);
    HP_DLOG(HP_MOD_STORAGE, "use this cmd to get usb position:%s\n", cmd);

    FILE* f = fopen(kPositionFile, "r");
    if (!f) {
        HP_LOG(HP_MOD_STORAGE, "can not open /var/.usbposition\n");
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    char line[125];
    if (!fgets(line, sizeof(line), f)) {
        HP_LOG(HP_MOD_STORAGE, "can not read /var/.usbposition\n");
        hp_set_status(node, HP_ST_IGNORE);
        fclose(f);
        unlink(kPositionFile);
        return -1;
    }
    fclose(f);
    unlink(kPositionFile);
    HP_DLOG(HP_MOD_STORAGE, "the usb partition device path is:%s\n", line);

    int r = hp_parse_usb_position(std::string_view(line, strlen(line)), pos);
    if (r == -1) {
        HP_LOG(HP_MOD_STORAGE, "the momible disk [%s] is not usb\n", disk);
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    if (r != 0) {
        // "usb" without the port segment behind it: no port to be had.
        hp_set_status(node, HP_ST_IGNORE);
        return -1;
    }
    return 0;
}

}  // namespace

int hp_get_usb_position(hp_partition* list) {
    for (hp_partition* node = list; node; node = node->next) {
        if (strcmp(node->status, HP_ST_IGNORE) == 0 || strcmp(node->status, HP_ST_TOUMOUNT) == 0)
            continue;
        char disk[32];
        if (hp_find_disk(disk, node->partition) != 0) {
            ignore_node(node);
            continue;
        }
        int removable = 0;
        if (read_removable(node, disk, &removable) != 0) continue;
        if (removable == 0 && strcmp(disk, node->partition) == 0) {
            // A whole disk is mounted only as a removable stick: a fixed
            // disk of the machine without partitions (a swap or data disk)
            // is never taken for one, nor moved once the system mounted it.
            ignore_node(node);
            continue;
        }
        if (removable == 0) {
            HP_DLOG(HP_MOD_STORAGE, "ignore the partition:%s\n", node->partition);
            if (strstr(disk, "sd")) {
                // A built-in SATA/SCSI disk: it is given position 4, and the
                // later nodes are still examined.
                HP_DLOG(HP_MOD_STORAGE, "%d Find the partition:%s\n", __LINE__, disk);
                node->pos = 4;
            } else {
                hp_set_status(node, HP_ST_IGNORE);
            }
            continue;
        }
        int pos = 0;
        if (read_position(node, disk, &pos) == 0) node->pos = pos;
    }
    return 0;
}

int hp_make_mount_path(hp_partition* list, hp_partition* node) {
    int count = 1;
    hp_partition* n = list;
    for (; n && n != node; n = n->next)
        if (n->pos == node->pos && strcmp(n->status, HP_ST_MOUNTED) == 0) ++count;
    if (!n) {
        HP_LOG(HP_MOD_STORAGE, "node is not in the list\n");
        return -1;
    }
    snprintf(node->path, sizeof(node->path), "/mnt/usb%d_%d", node->pos, count);
    hp_strip_spaces(node->path);
    HP_DLOG(HP_MOD_STORAGE, "mount_path=%s\n", node->path);
    return 0;
}

bool hp_path_exists(const char* path) {
    struct stat st;
    return lstat(path, &st) == 0;
}

namespace {

// True when a node other than `self` holds a mount at `path`: one found
// mounted ("mounted", or "ignore" when its position could not be read
// afterwards) or one whose disk has gone and is still mounted ("toumount").
bool held_by_other(const hp_partition* list, const hp_partition* self, const char* path) {
    for (const hp_partition* n = list; n; n = n->next) {
        if (n == self || n->path[0] == '\0' || strcmp(n->path, path) != 0) continue;
        if (strcmp(n->status, HP_ST_MOUNTED) == 0 || strcmp(n->status, HP_ST_TOUMOUNT) == 0 ||
            strcmp(n->status, HP_ST_IGNORE) == 0)
            return true;
    }
    return false;
}

// Beyond any number of mounts one port can have.
constexpr int kMaxMountNumber = 9999;

}  // namespace

int hp_choose_mount_path(hp_partition* list, hp_partition* node, hp_exists_fn exists) {
    if (hp_make_mount_path(list, node) != 0) return -1;
    if (!held_by_other(list, node, node->path)) return 0;
    // The counted name belongs to a partition that was mounted before this
    // one while a partition counted ahead of it was not (a stick pulled and
    // plugged back in behind another, say). Mounted partitions are never
    // moved for this: this one takes the lowest free number of its port,
    // which still carries the port, so no later pass moves it either.
    char taken[sizeof(node->path)];
    snprintf(taken, sizeof(taken), "%s", node->path);
    for (int n = 1; n <= kMaxMountNumber; ++n) {
        char candidate[sizeof(node->path)];
        snprintf(candidate, sizeof(candidate), "/mnt/usb%d_%d", (int)node->pos, n);
        if (held_by_other(list, node, candidate) || exists(candidate)) continue;
        snprintf(node->path, sizeof(node->path), "%s", candidate);
        HP_LOG(HP_MOD_STORAGE, "the mount dir %s is taken, use %s\n", taken, node->path);
        return 0;
    }
    return 0;  // no free number: the taken name stands and is refused as existing
}

bool hp_mount_path_fits(const hp_partition* node) {
    char want[32];
    snprintf(want, sizeof(want), "usb%d_", (int)node->pos);
    hp_strip_spaces(want);
    return strstr(node->path, want) != nullptr;
}

int hp_strip_spaces(char* text) {
    char* wr = text;
    for (const char* rd = text; *rd; ++rd)
        if (!hp_text::is_space(*rd)) *wr++ = *rd;
    *wr = '\0';
    return 0;
}

int hp_parse_mount_path(const char* path, int* disk, int* partition) {
    int d = *disk;
    int p = *partition;
    int r = hp_split_mount_path(std::string_view(path, strlen(path)), &d, &p);
    if (r == -1) {
        HP_LOG(HP_MOD_STORAGE, "Can not find string 'usb' at mnt_path: %s\n", path);
        return -1;
    }
    *disk = d;
    if (r == -2) {
        HP_LOG(HP_MOD_STORAGE, "Can not find char '_' at mnt_path: %s\n", path);
        return -1;
    }
    *partition = p;
    HP_DLOG(HP_MOD_STORAGE, "The disk is;%d, the partition is:%d\n", *disk, *partition);
    return 0;
}
