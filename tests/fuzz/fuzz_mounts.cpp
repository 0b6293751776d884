// Fuzzes the /proc/mounts reader over a fixed partition list: any text may
// mark partitions mounted (with their device and directory) or append
// "toumount" nodes for mounts of other block devices. Every text field must
// stay terminated inside its node, the list must stay a proper list, and the
// directory of each mount is then split into its disk and partition numbers
// as the unmount step does.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_pos.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// Stands for stat: device nodes under /dev and /var/dev are block devices.
bool fake_blockdev(const char* path) {
    return strncmp(path, "/dev/", 5) == 0 || strncmp(path, "/var/dev/", 9) == 0;
}

const char kPartitions[] =
    "major minor  #blocks  name\n"
    "\n"
    "   8        0    7823360 sda\n"
    "   8        1    7822336 sda1\n"
    "   8       16    1000000 sdb\n"
    "   8       17          1 sdb1\n"
    "   8       18     500000 sdb5\n"
    " 254        0   20971520 vda\n";

hp_partition* base_list() {
    FILE* f = fmemopen(const_cast<char*>(kPartitions), sizeof kPartitions - 1, "r");
    hp_partition* head = nullptr;
    hp_read_partitions(f, &head);
    fclose(f);
    return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    hp_partition* head = base_list();
    size_t before = 0;
    for (hp_partition* n = head; n; n = n->next) ++before;

    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!f) return 0;
    check(hp_read_mounts(f, &head, fake_blockdev) == 0);
    fclose(f);

    size_t lines = 1;
    for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    size_t count = 0;
    for (hp_partition* n = head; n; n = n->next) {
        ++count;
        check(count <= before + lines);
        check(memchr(n->partition, '\0', sizeof n->partition) && memchr(n->status, '\0', sizeof n->status) &&
              memchr(n->dev, '\0', sizeof n->dev) && memchr(n->path, '\0', sizeof n->path));
        if (count > before) {
            // Appended: a mount of a block device that is not in the list.
            check(strcmp(n->status, HP_ST_TOUMOUNT) == 0 && n->partition[0] == '\0');
            check(fake_blockdev(n->dev));
        }
        if (strcmp(n->status, HP_ST_MOUNTED) == 0 || strcmp(n->status, HP_ST_TOUMOUNT) == 0) {
            check(strchr(n->dev, '/') != nullptr && strchr(n->dev, '=') == nullptr);
            int disk = -7, part = -7;
            int r = hp_parse_mount_path(n->path, &disk, &part);
            check(r == 0 || r == -1);
            if (r == 0) check(disk >= 0 && part >= 0);
        }
    }
    while (head) {
        hp_partition* next = head->next;
        free(head);
        head = next;
    }
    return 0;
}
