// The storage pass (module hotplug_netlink_storage): rebuilds the picture of
// partitions and mounts from the kernel's tables and brings /mnt in line
// with it. Runs in the package's child process; nothing of it survives the
// pass but what lies in the file system.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "bus/obx_msg.h"
#include "common/fd.h"
#include "hotplug/hotplug_handlers.h"
#include "hotplug/hotplug_netlink_storage.h"
#include "hotplug/hotplug_netlink_process.h"
#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_media.h"
#include "hotplug/hotplug_netlink_storage_mount.h"
#include "hotplug/hotplug_netlink_storage_notify.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_umount.h"
#include "hotplug/hp_log.h"

hp_partition* hp_partition_list = nullptr;

namespace {

// The eight steps in their fixed order, each followed (debug only) by its
// label line and the table of the whole list; every step runs whatever the
// ones before it returned.
struct hp_step {
    int (*run)(hp_partition** head);
    char label[24];
};
template <int (*Step)(hp_partition*)>
int on_list(hp_partition** head) {
    return Step(*head);
}
constexpr hp_step kSteps[] = {
    {hp_get_partitions, "hp_get_partitions"},
    {hp_check_mounts, "hp_check_mounts"},
    {on_list<hp_get_usb_position>, "hp_get_usb_position"},
    {on_list<hp_umount_dir>, "hp_umount_dir"},
    {on_list<hp_mk_dev_node>, "hp_mk_dev_node"},
    {on_list<hp_rm_unused_dir>, "hp_rm_unused_dir"},
    {on_list<hp_mount_dir>, "hp_mount_dir"},
    {on_list<hp_rm_unused_dir>, "hp_rm_unused_dir"},
};

}  // namespace

void hp_storage_steps() {
    for (const hp_step& step : kSteps) {
        step.run(&hp_partition_list);
        HP_DLOG(HP_MOD_STORAGE, "%s:\n", step.label);
        hp_dump_partitions(hp_partition_list);
    }

    sync();

    while (hp_partition* node = hp_partition_list) {
        hp_partition_list = node->next;
        free(node);
    }
}

namespace {

constexpr const char* kPassLock = "/var/run/hotplug.storage.lock";

long long monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

// One storage pass at a time, across restarts of the daemon too: a pass
// that a stopped daemon had forked goes on without it, and the new daemon's
// pass must not sweep /mnt and mount beside it. The lock is an flock on a
// file in /var/run; it goes with the descriptor, so a pass that dies (or is
// killed) never holds up the next. The descriptor is close-on-exec: the
// commands a pass starts (ntfs-3g stays behind as the mount's driver) never
// hold the lock.
HpPassLock hp_take_pass_lock(int wait_s) {
    mkdir("/var/run", 0755);
    UniqueFd fd(open(kPassLock, O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        // No way to lock (a read-only /var): run as the design always did.
        HP_LOG(HP_MOD_STORAGE, "can not open %s, the storage pass runs unlocked\n", kPassLock);
        return {HpPassLock::kUnlocked, UniqueFd()};
    }
    const long long start = monotonic_ms();
    const long long deadline = start + (long long)wait_s * 1000;
    for (bool first = true;; first = false) {
        if (flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
            if (!first)
                HP_DLOG(HP_MOD_STORAGE, "waited %lld ms for the storage pass before\n", monotonic_ms() - start);
            return {HpPassLock::kHeld, std::move(fd)};
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            HP_LOG(HP_MOD_STORAGE, "can not lock %s, the storage pass runs unlocked\n", kPassLock);
            return {HpPassLock::kUnlocked, UniqueFd()};
        }
        if (monotonic_ms() >= deadline) {
            // The event behind this pass would be lost if the pass gave up
            // (the stopped daemon's pass may not see what changed since):
            // it runs once the other has ended, however long that takes
            // within the daemon's supervision of this package.
            HP_LOG(HP_MOD_STORAGE, "the storage pass before still runs after %d s: this pass runs once it has ended\n",
                   wait_s);
            int r;
            while ((r = flock(fd.get(), LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (r != 0) {
                HP_LOG(HP_MOD_STORAGE, "can not lock %s, the storage pass runs unlocked\n", kPassLock);
                return {HpPassLock::kUnlocked, UniqueFd()};
            }
            HP_LOG(HP_MOD_STORAGE, "the storage pass before has ended after %lld ms: this pass runs now\n",
                   monotonic_ms() - start);
            return {HpPassLock::kHeld, std::move(fd)};
        }
        if (first) HP_LOG(HP_MOD_STORAGE, "another storage pass is running, waiting for it\n");
        usleep(20 * 1000);
    }
}

namespace {

// The bus handle of a pass; a pass without one connects at its first record
// that finds plexd running.
void open_bus() {
    plexd_seen = 0;
    plexd_lost = 0;
    int ret = obxMsg_init(EID_HOTPLUG, &g_msgHandle);
    if (ret != 0) {
        if (FILE* console = fopen("/dev/console", "w")) {
            fprintf(console, "obxMsg_init error ret=%d", ret);
            fclose(console);
        }
        g_msgHandle = nullptr;
    }
}

void close_bus() {
    if (g_msgHandle) {
        sleep(1);
        obxMsg_cleanup(&g_msgHandle);
    }
}

// The pass itself, after the kernel has had a moment to list what changed.
void run_pass() {
    sleep(1);
    usleep(500);
    // A card reader's slots (and any removable USB disk) are polled, so that
    // cards pulled or put in are seen.
    hp_enable_media_polling();
    hp_storage_steps();
}

// The disk of a "block" "change" event whose medium changed (or whose eject
// button was pressed), into `disk` (32 bytes); false for any other event.
bool changed_disk(char* disk) {
    const char* media = get_hotplug_var("DISK_MEDIA_CHANGE");
    const char* eject = get_hotplug_var("DISK_EJECT_REQUEST");
    if (!(media && strcmp(media, "1") == 0) && !(eject && strcmp(eject, "1") == 0)) return false;
    const char* type = get_hotplug_var("DEVTYPE");
    if (type && strcmp(type, "disk") != 0) return false;
    const char* name = hp_base_name(get_hotplug_var("DEVPATH"));
    if (name[0] == '\0' || name[0] == '.' || strlen(name) >= 32) return false;
    snprintf(disk, 32, "%s", name);
    return true;
}

}  // namespace

int hotplug_storage_handler() {
    HpPassLock lock = hp_take_pass_lock(HP_PASS_LOCK_WAIT_S);
    open_bus();
    run_pass();
    close_bus();
    return 0;  // the lock goes with `lock`
}

// A card pulled out of a reader, or another put in (the kernel cannot tell
// which, and a card swapped within one poll gives one event and the same
// partition names): the mounts of the old card are released first, then
// the disk is opened so that the kernel reads the medium and its partition
// table again, then the pass mounts what the disk holds now. Until that
// open, a mount of the old card cannot reach the new card's sectors with a
// new partition table; after it, it could, which is why the old card's
// mounts and their users must be gone first.
int hotplug_media_change_handler() {
    if (!get_hotplug_var("DEVPATH")) return 22;
    char disk[32];
    if (!changed_disk(disk)) return 0;
    HpPassLock lock = hp_take_pass_lock(HP_PASS_LOCK_WAIT_S);
    open_bus();
    HP_DLOG(HP_MOD_STORAGE, "the medium of %s changed\n", disk);

    hp_partition* list = nullptr;
    hp_get_partitions(&list);
    hp_check_mounts(&list);
    bool offline = false;
    hp_release_result released = hp_release_disk(list, disk, &offline);
    while (hp_partition* node = list) {
        list = node->next;
        free(node);
    }
    // A disk the system mounted is read again by whoever mounted it; and
    // while the old card is held, the partition table cannot be read again:
    // the next change tries again. The re-read has listed the new card's
    // partitions by the time the open returns, so the pass needs no
    // opening wait.
    if (released == HP_SYSTEMS) run_pass();
    else if (hp_reread_disk(disk, offline) >= 0) hp_storage_steps();
    close_bus();
    return 0;
}
