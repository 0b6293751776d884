// Fuzzes flatten_cmdline: a process command line from /proc/<pid>/cmdline is
// whatever bytes the process put there. The buffer handed over has the two
// NUL bytes behind the data that the reader guarantees, and nothing more, so
// ASan sees any read or write past them. The result is checked against the
// rule: the arguments up to the first empty one, joined without separators.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "hotplug/hotplug_netlink_lib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> buf(size + 2, '\0');
    if (size) memcpy(buf.data(), data, size);

    // Expected text: copy non-NUL bytes until two NULs in a row (or the
    // first byte is NUL).
    std::vector<char> want;
    for (size_t i = 0; i < size + 2; ++i) {
        if (buf[i] == '\0' && (i + 1 >= size + 2 || buf[i + 1] == '\0')) break;
        if (buf[i] != '\0') want.push_back(buf[i]);
    }
    want.push_back('\0');

    flatten_cmdline(buf.data());

    if (strlen(buf.data()) + 1 != want.size() || memcmp(buf.data(), want.data(), want.size()) != 0)
        abort();
    return 0;
}
