// Removable media in a disk that stays plugged (module
// hotplug_netlink_storage): polling switched on for card readers, the old
// card's mounts released, the disk read again.
#include "hotplug/hotplug_netlink_storage_media.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "common/fd.h"
#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_text.h"
#include "hotplug/hotplug_netlink_storage_umount.h"
#include "hotplug/hp_log.h"

namespace {

// The whole of a small sysfs file, NUL-terminated; false when it cannot be
// read.
bool read_small(const char* path, char* buf, size_t size) {
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    ssize_t n = read(fd.get(), buf, size - 1);
    if (n < 0) return false;
    buf[n] = '\0';
    return true;
}

bool has_word(std::string_view text, std::string_view word) {
    for (std::string_view w; !(w = hp_text::take_token(text)).empty();)
        if (w == word) return true;
    return false;
}

// The number a sysfs file holds, exactly (a sign and digits, blanks around).
bool number_is(std::string_view text, long long want) {
    long long v = 0;
    if (!hp_text::take_number(text, -(1ll << 40), 1ll << 40, &v)) return false;
    hp_text::skip_space(text);
    return text.empty() && v == want;
}

}  // namespace

bool hp_media_poll_wanted(std::string_view events, std::string_view disk_msecs,
                          std::string_view default_msecs) {
    return (has_word(events, "media_change") || has_word(events, "eject_request")) &&
           number_is(disk_msecs, -1) && number_is(default_msecs, 0);
}

void hp_enable_media_polling(const char* sys_block) {
    char dflt[32] = "0";  // no such parameter: no default set
    read_small("/sys/module/block/parameters/events_dfl_poll_msecs", dflt, sizeof(dflt));
    DirHandle dir(sys_block);
    while (struct dirent* ent = dir.next()) {
        if (ent->d_name[0] == '.') continue;
        static const char* const kLeaf[] = {"removable", "events", "events_poll_msecs", "device"};
        char path[4][PATH_MAX];
        char text[3][128];
        bool ok = true;
        for (int i = 0; i < 4; ++i) {
            snprintf(path[i], sizeof(path[i]), "%s/%s/%s", sys_block, ent->d_name, kLeaf[i]);
            if (i < 3) ok = ok && read_small(path[i], text[i], sizeof(text[i]));
        }
        if (!ok || !number_is(text[0], 1) || !hp_media_poll_wanted(text[1], text[2], dflt)) continue;
        // USB disks only, as the pass mounts only those: the resolved device
        // holds the USB bus segment.
        char real[PATH_MAX];
        if (!realpath(path[3], real) || !strstr(real, "/usb")) continue;
        UniqueFd fd(open(path[2], O_WRONLY | O_CLOEXEC));
        char value[16];
        int len = snprintf(value, sizeof(value), "%d", HP_MEDIA_POLL_MS);
        if (!fd.valid() || write(fd.get(), value, (size_t)len) != len)
            HP_LOG(HP_MOD_STORAGE, "can not switch on media polling of %s\n", ent->d_name);
        else
            HP_DLOG(HP_MOD_STORAGE, "media polling of %s on: every %d ms\n", ent->d_name, HP_MEDIA_POLL_MS);
    }
}

int hp_parse_devno(std::string_view text, dev_t* devno) {
    long long major = 0, minor = 0;
    if (!hp_text::take_number(text, 0, 4095, &major) || text.empty() || text[0] != ':') return -1;
    text.remove_prefix(1);
    if (!hp_text::take_number(text, 0, (1 << 20) - 1, &minor)) return -1;
    hp_text::skip_space(text);
    if (!text.empty()) return -1;
    *devno = makedev((unsigned)major, (unsigned)minor);
    return 0;
}

bool hp_is_on_disk(const char* name, const char* disk) {
    return disk[0] != '\0' && (strcmp(name, disk) == 0 || hp_is_partition_of(name, disk));
}

bool hp_disk_io(const char* disk, bool on) {
    char path[80];
    snprintf(path, sizeof(path), "/sys/block/%.32s/device/state", disk);
    UniqueFd fd(open(path, O_WRONLY | O_CLOEXEC));
    const char* state = on ? "running\n" : "offline\n";  // the line end is part of the value
    size_t len = strlen(state);
    if (!fd.valid() || write(fd.get(), state, len) != (ssize_t)len) return false;
    HP_DLOG(HP_MOD_STORAGE, "%s is %s", disk, state);
    return true;
}

hp_release_result hp_release_disk(hp_partition* list, const char* disk, bool* offline) {
    *offline = false;
    // A node from /proc/mounts (a device gone from the partition table) is
    // known by its device's name.
    auto name_of = [](const hp_partition* n) { return n->partition[0] ? n->partition : hp_base_name(n->dev); };
    for (hp_partition* n = list; n; n = n->next) {
        // The system mounted it outside /mnt: its medium is not the pass's
        // to release or read again.
        if (strcmp(n->status, HP_ST_IGNORE) == 0 && n->path[0] && hp_is_on_disk(name_of(n), disk)) {
            HP_DLOG(HP_MOD_STORAGE, "%s is mounted at %s: left to the system\n", n->partition, n->path);
            return HP_SYSTEMS;
        }
    }
    hp_release_result r = HP_RELEASED;
    for (hp_partition* n = list; n; n = n->next) {
        bool mine = strcmp(n->status, HP_ST_MOUNTED) == 0 || strcmp(n->status, HP_ST_TOUMOUNT) == 0;
        if (!mine || !hp_is_on_disk(name_of(n), disk)) continue;
        // The kernel's poll that reported the change has let I/O through to
        // the disk again, and what an old card's mount writes now (its
        // cached boot sector at the unmount, a user's late write) would land
        // on whatever card is in: the disk takes no I/O until the old
        // mounts and their users are gone (hp_reread_disk lets it again).
        if (!*offline) *offline = hp_disk_io(disk, false);
        // The medium under this mount is gone, or another one is in: it is
        // released as a pulled stick's mount is.
        hp_set_status(n, HP_ST_TOUMOUNT);
        if (hp_umount_one(n) != 0) r = HP_KEPT;
    }
    return r;
}

int hp_reread_disk(const char* disk, bool offline) {
    char path[64], text[32];
    dev_t devno = 0;
    snprintf(path, sizeof(path), "/sys/block/%.32s/dev", disk);
    if (!read_small(path, text, sizeof(text)) || hp_parse_devno(text, &devno) != 0) {
        if (offline) hp_disk_io(disk, true);
        return 1;
    }
    // A node of its own, gone again at the end: the pass's nodes under
    // /var/dev are named after partitions, and a whole-disk stick's is one.
    char node[48];
    snprintf(node, sizeof(node), "/var/dev/.%.32s", disk);
    mkdir("/var/dev", 0777);
    unlink(node);
    bool made = mknod(node, S_IFBLK | 0600, devno) == 0;
    if (!made) snprintf(node, sizeof(node), "/dev/%.32s", disk);

    // Exclusive: the open fails with EBUSY while any partition of the disk is
    // held by a mount, attached or detached; a killed user may take a
    // moment to end. Once none is, an open of a disk that takes I/O makes
    // the kernel read the medium and its partition table again (an offline
    // disk refuses the open itself, after the check).
    int r = -1;
    for (int waited = 0;; waited += 50) {
        UniqueFd fd(open(node, O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC));
        if (fd.valid() || errno != EBUSY) {
            r = fd.valid() ? 0 : 1;
            break;
        }
        if (waited >= HP_MEDIA_RELEASE_WAIT_MS) break;
        usleep(50 * 1000);
    }
    if (offline) {
        hp_disk_io(disk, true);
        if (r >= 0) {
            UniqueFd fd(open(node, O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC));
            r = fd.valid() ? 0 : 1;
        }
    }
    if (r < 0)
        HP_LOG(HP_MOD_STORAGE, "%s is still held by a user of its old medium: not read again until its next change\n",
               disk);
    if (made) unlink(node);
    return r;
}
