// Network interface handler: a WDS link that appears is brought up, added to
// the LAN bridge br0 (spanning tree on), announced with sendarp and enabled
// on the wireless side with radioctl. Keeps no state, writes no console line.
#include "hotplug/hotplug_net.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "hotplug/hotplug_handlers.h"
#include "hotplug/hotplug_netlink_lib.h"
#include "hotplug/hotplug_netlink_process.h"

namespace {

constexpr const char* kBridge = "br0";

// Formats into `buf`; false when the text did not fit (then `buf` is empty).
__attribute__((format(printf, 3, 4))) bool format_into(char* buf, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        buf[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace

bool hp_net_is_wds_join(const char* interface, const char* action) {
    if (!interface || !action) return false;
    if (strncmp(interface, "wds", 3) != 0) return false;
    return strcmp(action, "register") == 0 || strcmp(action, "add") == 0;
}

bool hp_net_quote_ifname(const char* interface, char (&out)[HP_IFNAME_QUOTED]) {
    out[0] = '\0';
    if (!interface) return false;
    size_t len = strnlen(interface, HP_IFNAME_MAX + 1);
    if (len == 0 || len > HP_IFNAME_MAX) return false;
    return shell_quote(std::span<char>(out, sizeof(out)), std::string_view(interface, len)) > 0;
}

bool hp_net_bridge_cmds(const char* qname, char (&cmds)[HP_NET_BRIDGE_CMDS][HP_NET_CMD_SIZE]) {
    bool ok = format_into(cmds[0], sizeof(cmds[0]), "ifconfig %s up", qname);
    ok = format_into(cmds[1], sizeof(cmds[0]), "brctl addif %s %s", kBridge, qname) && ok;
    ok = format_into(cmds[2], sizeof(cmds[0]), "brctl stp %s on", kBridge) && ok;
    ok = format_into(cmds[3], sizeof(cmds[0]), "sendarp -s %s -d %s", kBridge, kBridge) && ok;
    return ok;
}

bool hp_nas_cmd(const char* qname, char (&cmd)[HP_NET_CMD_SIZE]) {
    return format_into(cmd, sizeof(cmd), "radioctl -i %s wds_enable 1", qname);
}

int notify_nas(const char* /*network*/, const char* interface, const char* /*state*/) {
    char qname[HP_IFNAME_QUOTED];
    char cmd[HP_NET_CMD_SIZE];
    if (hp_net_quote_ifname(interface, qname) && hp_nas_cmd(qname, cmd)) zorsystem(cmd);
    return 0;
}

int hotplug_net_handler() {
    const char* interface = get_hotplug_var("INTERFACE");
    if (!interface) return 22;
    const char* action = get_hotplug_var("ACTION");
    if (!action) return 22;
    if (!hp_net_is_wds_join(interface, action)) return 0;

    // The name comes from the kernel, which accepts shell syntax in it: it
    // reaches the shell only in quoted form, and an over-long one not at all.
    char qname[HP_IFNAME_QUOTED];
    if (!hp_net_quote_ifname(interface, qname)) return 0;
    char cmds[HP_NET_BRIDGE_CMDS][HP_NET_CMD_SIZE];
    if (!hp_net_bridge_cmds(qname, cmds)) return 0;

    // Every step runs whatever became of the one before.
    for (const auto& cmd : cmds) zorsystem(cmd);
    notify_nas("lan", interface, "up");
    return 0;
}
