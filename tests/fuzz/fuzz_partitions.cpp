// Fuzzes the /proc/partitions reader: any text becomes a list of nodes, one
// per line after the two header lines. Each node's name must be terminated
// inside its field, and a node that is not ignored must name a partition
// (ending in a digit).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_text.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!f) return 0;
    hp_partition* head = reinterpret_cast<hp_partition*>(1);
    int r = hp_read_partitions(f, &head);
    fclose(f);
    check(r == 0);

    size_t lines = 0;
    for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    size_t count = 0;
    for (hp_partition* n = head; n; n = n->next) {
        check(++count <= lines + 1);
        check(memchr(n->partition, '\0', sizeof n->partition) != nullptr);
        check(memchr(n->status, '\0', sizeof n->status) != nullptr);
        check(n->dev[0] == '\0' && n->path[0] == '\0' && n->pos == 0);
        size_t len = strlen(n->partition);
        if (strcmp(n->status, HP_ST_IGNORE) != 0) {
            check(strcmp(n->status, HP_ST_NEW) == 0);
            check(len > 0);
            // A kept name that does not end in a digit is a whole disk none
            // of whose partitions is listed.
            if (n->partition[len - 1] < '0' || n->partition[len - 1] > '9')
                for (hp_partition* m = head; m; m = m->next) check(!hp_is_partition_of(m->partition, n->partition));
        }
        // A name is one token: no white space in it.
        for (size_t i = 0; i < len; ++i) check(!hp_text::is_space(n->partition[i]));
    }
    while (head) {
        hp_partition* next = head->next;
        free(head);
        head = next;
    }
    return 0;
}
