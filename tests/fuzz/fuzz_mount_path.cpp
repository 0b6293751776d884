// Fuzzes the mount directory names: splitting ".../usb<disk>_<part>" into its
// numbers, on exact bytes and on a terminated copy as the unmount step passes
// it, and the round trip of a name made for a node (with white space stripped)
// back to the node's port and count.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>
#include <vector>

#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_pos.h"
#include "hotplug/hotplug_netlink_storage_text.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> exact(data, data + size);
    int disk = -1, part = -1;
    int r = hp_split_mount_path(std::string_view(exact.data(), exact.size()), &disk, &part);
    check(r == 0 || r == -1 || r == -2);
    if (r != -1) check(disk >= 0);
    if (r == 0) check(part >= 0);

    std::vector<char> text(data, data + size);
    text.push_back('\0');
    disk = part = 0;
    r = hp_parse_mount_path(text.data(), &disk, &part);
    check(r == 0 || r == -1);

    hp_strip_spaces(text.data());
    for (const char* p = text.data(); *p; ++p) check(!hp_text::is_space(*p));

    // Round trip: the name made for the third node of a list, whose two
    // predecessors on the same port are mounted, reads back as that port and 3.
    if (size >= 4) {
        int32_t port;
        memcpy(&port, data, 4);
        hp_partition nodes[3] = {};
        for (int i = 0; i < 3; ++i) {
            nodes[i].pos = port;
            if (i < 2) {
                nodes[i].next = &nodes[i + 1];
                hp_set_status(&nodes[i], HP_ST_MOUNTED);
            }
        }
        check(hp_make_mount_path(nodes, &nodes[2]) == 0);
        if (port >= 0) {
            check(hp_parse_mount_path(nodes[2].path, &disk, &part) == 0);
            check(disk == port && part == 3);
        }
    }
    return 0;
}
