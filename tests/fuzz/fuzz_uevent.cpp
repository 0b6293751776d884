// Fuzzes the uevent intake: the datagram check (length, sender credentials,
// header) and the key lookup over an admitted datagram, the way the receiver
// uses them.
//
// Input: byte 0 shapes the control data (credentials present, sender uid,
// control length), byte 1 (bit 7) leaves it out altogether; the rest is the
// datagram. The receive stores at most the buffer's size and reports the
// datagram's true length, as recvmsg with MSG_TRUNC does, so datagrams longer
// than the buffer are covered too.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string_view>
#include <vector>

#include "hotplug/hotplug_netlink_process.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// A value returned by the lookup must sit inside the bytes searched, right
// behind "key=" at the start of a string.
void check_value(const char* base, size_t span, long off, std::string_view key) {
    if (off < 0) return;
    size_t o = (size_t)off;
    check(o >= key.size() + 1 && o <= span);
    size_t start = o - key.size() - 1;
    check(start == 0 || base[start - 1] == '\0');
    check(memcmp(base + start, key.data(), key.size()) == 0 && base[o - 1] == '=');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t shape = data[0];
    const bool no_control = data[1] & 0x80;
    data += 2;
    size -= 2;

    // The receive buffer as the receiver has it: a package, zeroed, the
    // datagram (or as much as fits) at the start.
    hp_pkg* pkg = (hp_pkg*)calloc(1, sizeof(hp_pkg));
    size_t stored = size < sizeof(pkg->msg) ? size : sizeof(pkg->msg);
    memcpy(pkg->msg, data, stored);
    long rcvd = (long)size;

    // Control data as recvmsg leaves it in the receiver's aligned buffer.
    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(struct ucred))];
    } ctl;
    memset(&ctl, 0, sizeof(ctl));
    struct cmsghdr* c = (struct cmsghdr*)ctl.buf;
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = (shape & 1) ? SCM_CREDENTIALS : SCM_RIGHTS;
    c->cmsg_len = (shape & 2) ? CMSG_LEN(sizeof(struct ucred)) : (shape >> 4);
    struct ucred cred = {1, (shape & 4) ? (uid_t)(shape >> 3) : 0, 0};
    memcpy(CMSG_DATA(c), &cred, sizeof(cred));
    size_t control_len = (shape & 8) ? (shape >> 5) * 4 : sizeof(ctl.buf);

    int uid = -1;
    hp_rcv_verdict v = no_control ? hp_check_datagram(pkg->msg, sizeof(pkg->msg), rcvd, nullptr, 0, &uid)
                                  : hp_check_datagram(pkg->msg, sizeof(pkg->msg), rcvd, ctl.buf, control_len, &uid);
    if (no_control) check(v != HP_RCV_ACCEPT);
    if (v == HP_RCV_ACCEPT) {
        check(rcvd >= HP_PKG_MIN_LEN && rcvd < HP_PKG_MSG_SIZE);
        check(uid == 0);
        size_t hlen = strnlen(pkg->msg, (size_t)rcvd);
        check(hlen >= 4 && hlen + 1 < (size_t)rcvd);
        check(memmem(pkg->msg, hlen, "@/", 2) != nullptr);

        // The receiver's lookups on the admitted package.
        pkg->len = (int)rcvd;
        const char* keys[] = {"DEVPATH", "SUBSYSTEM", "ACTION", "INTERFACE", "PRODUCT", ""};
        for (const char* key : keys) {
            char* val = _get_hotplug_var(pkg, key);
            if (val) {
                check(val > pkg->msg && val <= pkg->msg + pkg->len);
                check(strnlen(val, (size_t)(pkg->msg + sizeof(pkg->msg) - val)) <
                      (size_t)(pkg->msg + sizeof(pkg->msg) - val));
            }
        }
    }

    // The lookup alone over exactly the datagram's bytes (no zero behind
    // them), with keys taken from the input as well as the usual ones.
    std::vector<char> exact(data, data + size);
    const char* keys[] = {"DEVPATH", "SUBSYSTEM", "ACTION", "A"};
    for (const char* key : keys)
        check_value(exact.data(), exact.size(), hp_find_var(exact.data(), exact.size(), key), key);
    if (size > 0) {
        size_t klen = data[0] % 12;
        if (klen < size) {
            std::string_view key((const char*)data + 1, klen);
            check_value(exact.data(), exact.size(), hp_find_var(exact.data(), exact.size(), key), key);
        }
    }

    free(pkg);
    return 0;
}
