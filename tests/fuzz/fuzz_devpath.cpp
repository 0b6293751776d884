// Fuzzes the parsers of what sysfs hands the storage pass: the resolved
// device directory of a disk (read as the first line of a file, at most 124
// characters, as the pass reads it) and the disk's `removable` flag.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>
#include <vector>

#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_pos.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes, on the heap: no terminator behind them.
    std::vector<char> exact(data, data + size);
    std::string_view all(exact.data(), exact.size());

    int pos = -12345;
    int r = hp_parse_usb_position(all, &pos);
    check(r == 0 || r == -1 || r == -2);
    if (r == -1) check(all.find("usb") == std::string_view::npos);

    // The line as the pass has it: what fgets gives in a 125-byte buffer.
    char line[125] = {};
    size_t n = 0;
    while (n < size && n + 1 < sizeof line) {
        line[n] = (char)data[n];
        if (data[n++] == '\n') break;
    }
    line[n] = '\0';
    pos = 0;
    (void)hp_parse_usb_position(std::string_view(line, strlen(line)), &pos);

    int removable = -12345;
    r = hp_parse_removable(all, &removable);
    check(r == 0 || r == -1);
    return 0;
}
